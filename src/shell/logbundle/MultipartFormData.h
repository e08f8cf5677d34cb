#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// The body of a multipart/form-data POST, its sections in the order the
// fields were added:
//   "--<boundary>\r\n"
//   text:  Content-Disposition: form-data; name="<name>"\r\n\r\n<value>
//   bytes: Content-Disposition: form-data; name="<name>"; filename="<file name>"\r\n
//          Content-Type: application/octet-stream\r\n\r\n<bytes>
//   "\r\n"
// and last "--<boundary>--\r\n". A plain value; any thread.
class MultipartFormData {
 public:
  // The boundary of the log upload: 27 hyphens, "Boundary Line", 27 hyphens.
  static const char* const kLogBoundary;

  explicit MultipartFormData(std::string boundary = kLogBoundary);

  void addText(const std::string& name, const std::string& value);
  // A number's section holds its decimal text.
  void addNumber(const std::string& name, long long value);
  // Bytes in memory: the field name is also the file name.
  void addBytes(const std::string& name, std::string bytes);
  // The first `maxBytes` bytes of a regular file (no link, FIFO or device),
  // under the last component of its path. False (nothing added) when the
  // file cannot be read as one.
  bool addFile(const std::string& name, const std::string& path, size_t maxBytes);

  // Replaces the boundary with a random one that no value added so far
  // holds, so that a value cannot end its section early and forge fields
  // (call after the last field is added).
  void useRandomBoundary();

  // "multipart/form-data; boundary=<boundary>", the boundary in double
  // quotes when it is not a plain token (the log boundary holds a space).
  std::string contentType() const;
  std::string body() const;
  // The body split where the bytes of its last field go (added empty):
  // what comes before them and after, for bytes sent from elsewhere (a
  // file read as it is sent).
  std::pair<std::string, std::string> bodyAroundLastField() const;

 private:
  struct Field {
    std::string name;
    std::string fileName;  // empty for a text field
    std::string value;
    bool isFile;
  };

  std::string boundary_;
  std::vector<Field> fields_;
};
