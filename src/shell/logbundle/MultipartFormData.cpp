#include "MultipartFormData.h"

#include <sys/random.h>

#include <cstdint>

#include "VLRegularFile.h"

namespace {

// 32 random letters and digits after a fixed prefix.
std::string randomBoundary() {
  static const char kAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  uint8_t bytes[32];
  size_t filled = 0;
  while (filled < sizeof bytes) {
    ssize_t length = getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (length > 0) filled += size_t(length);
  }
  std::string boundary = "----VeloraFormBoundary";
  for (uint8_t byte : bytes) boundary += kAlphabet[byte % (sizeof kAlphabet - 1)];
  return boundary;
}

}  // namespace

const char* const MultipartFormData::kLogBoundary =
    "---------------------------Boundary Line---------------------------";

MultipartFormData::MultipartFormData(std::string boundary) : boundary_(std::move(boundary)) {}

void MultipartFormData::addText(const std::string& name, const std::string& value) {
  fields_.push_back(Field{name, std::string(), value, false});
}

void MultipartFormData::addNumber(const std::string& name, long long value) {
  addText(name, std::to_string(value));
}

void MultipartFormData::addBytes(const std::string& name, std::string bytes) {
  fields_.push_back(Field{name, name, std::move(bytes), true});
}

bool MultipartFormData::addFile(const std::string& name, const std::string& path, size_t maxBytes) {
  std::string bytes;
  if (!VLRegularFile::readHead(path, maxBytes, bytes)) return false;
  std::string::size_type slash = path.rfind('/');
  fields_.push_back(Field{name, slash == std::string::npos ? path : path.substr(slash + 1), std::move(bytes), true});
  return true;
}

void MultipartFormData::useRandomBoundary() {
  auto heldByAValue = [this](const std::string& boundary) {
    for (const Field& field : fields_) {
      if (field.value.find(boundary) != std::string::npos) return true;
    }
    return false;
  };
  do {
    boundary_ = randomBoundary();
  } while (heldByAValue(boundary_));
}

std::string MultipartFormData::contentType() const {
  // A boundary with characters outside an RFC 2045 token (the log boundary
  // has a space) must be quoted in the header, or standard parsers cut it
  // at that character and find no section at all.
  static const char* const kSpecials = "()<>@,;:\\\"/[]?= \t";
  bool plainToken = !boundary_.empty() && boundary_.find_first_of(kSpecials) == std::string::npos;
  return "multipart/form-data; boundary=" + (plainToken ? boundary_ : "\"" + boundary_ + "\"");
}

std::string MultipartFormData::body() const {
  std::string body;
  for (const Field& field : fields_) {
    body += "--" + boundary_ + "\r\n";
    if (field.isFile) {
      body += "Content-Disposition: form-data; name=\"" + field.name + "\"; filename=\"" + field.fileName + "\"\r\n";
      body += "Content-Type: application/octet-stream\r\n\r\n";
    } else {
      body += "Content-Disposition: form-data; name=\"" + field.name + "\"\r\n\r\n";
    }
    body += field.value;
    body += "\r\n";
  }
  body += "--" + boundary_ + "--\r\n";
  return body;
}

std::pair<std::string, std::string> MultipartFormData::bodyAroundLastField() const {
  std::string whole = body();
  std::string tail = "\r\n--" + boundary_ + "--\r\n";
  return {whole.substr(0, whole.size() - tail.size()), tail};
}
