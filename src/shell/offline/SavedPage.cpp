#include "SavedPage.h"

#include <glib.h>

#include <cstring>

namespace {

constexpr char kMagic[] = "VLSPAGE1";
constexpr size_t kMagicLength = sizeof kMagic - 1;
constexpr char kType[] = "(sa(ssay))";

}  // namespace

std::string SavedPage::withoutFragment(const std::string& address) {
  return address.substr(0, address.find('#'));
}

void SavedPage::keep(const std::string& address, const std::string& mimeType, const std::string& bytes) {
  std::string key = withoutFragment(address);
  auto found = index_.find(key);
  if (found != index_.end()) {
    Resource& kept = resources_[found->second];
    byteCount_ -= kept.mimeType.size() + kept.bytes.size();
    byteCount_ += mimeType.size() + bytes.size();
    kept.mimeType = mimeType;
    kept.bytes = bytes;
    return;
  }
  index_.emplace(key, resources_.size());
  resources_.push_back(Resource{key, mimeType, bytes});
  byteCount_ += key.size() + mimeType.size() + bytes.size();
}

const SavedPage::Resource* SavedPage::find(const std::string& address) const {
  auto found = index_.find(withoutFragment(address));
  return found != index_.end() ? &resources_[found->second] : nullptr;
}

// Text in a GVariant string must be valid UTF-8 without NUL; addresses and
// MIME types that are not stay out of the file rather than corrupt it.
static bool storableText(const std::string& text) {
  return g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr) &&
         text.find('\0') == std::string::npos;
}

std::string SavedPage::serialize() const {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a(ssay)"));
  for (const Resource& resource : resources_) {
    if (!storableText(resource.address) || !storableText(resource.mimeType)) continue;
    GVariant* bytes = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, resource.bytes.data(), resource.bytes.size(), 1);
    g_variant_builder_add(&builder, "(ss@ay)", resource.address.c_str(), resource.mimeType.c_str(), bytes);
  }
  std::string address = storableText(address_) ? address_ : std::string();
  GVariant* page = g_variant_ref_sink(g_variant_new("(sa(ssay))", address.c_str(), &builder));
  std::string file(kMagic, kMagicLength);
  file.append(static_cast<const char*>(g_variant_get_data(page)), g_variant_get_size(page));
  g_variant_unref(page);
  return file;
}

bool SavedPage::parse(const std::string& bytes) {
  if (bytes.size() < kMagicLength || bytes.compare(0, kMagicLength, kMagic) != 0) return false;
  // GVariant wants its data aligned: a copy of its own.
  GBytes* data = g_bytes_new(bytes.data() + kMagicLength, bytes.size() - kMagicLength);
  GVariant* page = g_variant_ref_sink(g_variant_new_from_bytes(G_VARIANT_TYPE(kType), data, FALSE));
  g_bytes_unref(data);
  bool valid = g_variant_is_normal_form(page);
  if (valid) {
    SavedPage parsed;
    const char* address = nullptr;
    GVariantIter* iter = nullptr;
    g_variant_get(page, "(&sa(ssay))", &address, &iter);
    parsed.address_ = address;
    const char* resourceAddress = nullptr;
    const char* mimeType = nullptr;
    GVariant* content = nullptr;
    while (g_variant_iter_next(iter, "(&s&s@ay)", &resourceAddress, &mimeType, &content)) {
      gsize size = 0;
      const void* raw = g_variant_get_fixed_array(content, &size, 1);
      parsed.keep(resourceAddress, mimeType,
                  size > 0 ? std::string(static_cast<const char*>(raw), size) : std::string());
      g_variant_unref(content);
    }
    g_variant_iter_free(iter);
    *this = std::move(parsed);
  }
  g_variant_unref(page);
  return valid;
}
