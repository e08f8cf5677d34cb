// A player page as it was last loaded, for an offline start: the page's
// address and every resource loaded with it (the page's own document among
// them), each with its MIME type and bytes.
//
// On disk one file holds one page: the 8 bytes "VLSPAGE1" followed by a
// GVariant of type "(sa(ssay))" in normal form (the page address, then each
// resource's address, MIME type and bytes in the order they were kept).
// GVariant reads untrusted bytes safely; a file that is not in that form is
// refused whole.
//
// Threads: a plain value; no locking.
#pragma once

#include <map>
#include <string>
#include <vector>

class SavedPage {
 public:
  struct Resource {
    std::string address;  // absolute, without fragment
    std::string mimeType;
    std::string bytes;
  };

  SavedPage() = default;
  explicit SavedPage(std::string address) : address_(withoutFragment(address)) {}

  // The page's address, without fragment.
  const std::string& address() const { return address_; }
  const std::vector<Resource>& resources() const { return resources_; }
  bool empty() const { return resources_.empty(); }
  // The bytes its resources hold, addresses and MIME types with them: about
  // what its file takes.
  size_t byteCount() const { return byteCount_; }

  // Keeps the resource under its address without fragment, replacing one of
  // the same address.
  void keep(const std::string& address, const std::string& mimeType, const std::string& bytes);
  // The resource of that address (its fragment ignored); null when none.
  const Resource* find(const std::string& address) const;
  // The page's own document; null when it was not kept (then the page cannot
  // be shown from here).
  const Resource* document() const { return find(address_); }

  // The file form above.
  std::string serialize() const;
  // Reads the file form; false (page untouched) when the bytes are not one.
  bool parse(const std::string& bytes);

  // The address with its fragment ("#..." to the end) cut off: a fragment
  // never reaches a server, so it does not name another page or resource.
  static std::string withoutFragment(const std::string& address);

 private:
  std::string address_;
  std::vector<Resource> resources_;
  std::map<std::string, size_t> index_;  // address -> position in resources_
  size_t byteCount_ = 0;
};
