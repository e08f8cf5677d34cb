#include "MessageCatalogue.h"

#include <glib.h>

#include <cstdint>
#include <cstring>

namespace {

// The file's first word, in the byte order of the machine that wrote it.
constexpr uint32_t kMagic = 0x950412de;

// The file's layout: the magic, a revision, the message count, then the
// offsets of the keys' table and of the texts' table. Each table entry is a
// length and an offset of a string (followed by a NUL not counted).
class CatalogueFile {
 public:
  explicit CatalogueFile(std::string bytes) : bytes_(std::move(bytes)) {}

  bool word(size_t at, uint32_t* value) const {
    if (at > bytes_.size() || bytes_.size() - at < sizeof *value) return false;
    memcpy(value, bytes_.data() + at, sizeof *value);
    return true;
  }

  // String `index` of the table at `table`.
  bool string(uint32_t table, uint32_t index, std::string* text) const {
    uint32_t length = 0;
    uint32_t offset = 0;
    size_t entry = size_t{table} + size_t{index} * 8;
    if (!word(entry, &length) || !word(entry + 4, &offset)) return false;
    if (offset > bytes_.size() || bytes_.size() - offset < length) return false;
    text->assign(bytes_, offset, length);
    return true;
  }

 private:
  std::string bytes_;
};

}  // namespace

bool MessageCatalogue::load(const std::string& path) {
  messages_.clear();
  gchar* contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr)) return false;
  CatalogueFile file(std::string(contents, length));
  g_free(contents);
  uint32_t magic = 0;
  uint32_t count = 0;
  uint32_t keys = 0;
  uint32_t texts = 0;
  if (!file.word(0, &magic) || magic != kMagic || !file.word(8, &count) || !file.word(12, &keys) ||
      !file.word(16, &texts)) {
    return false;
  }
  for (uint32_t i = 0; i < count; ++i) {
    std::string key;
    std::string text;
    if (!file.string(keys, i, &key) || !file.string(texts, i, &text)) {
      messages_.clear();
      return false;
    }
    // The empty key holds the catalogue's header, no message.
    if (!key.empty()) messages_.emplace(std::move(key), std::move(text));
  }
  return true;
}

const std::string* MessageCatalogue::find(const std::string& key) const {
  auto found = messages_.find(key);
  return found != messages_.end() ? &found->second : nullptr;
}
