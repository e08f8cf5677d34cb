#include "VLCryptoLinuxImpl.h"

#include <glib.h>

// MD5 only names files here; it protects nothing. GLib's own implementation
// is used, not OpenSSL's, because a crypto policy (a FIPS-only
// configuration, or one without the default provider) may take MD5 out of
// OpenSSL, and with it every file name.
std::string VLCryptoLinuxImpl::md5(const std::string& data) {
  GChecksum* checksum = g_checksum_new(G_CHECKSUM_MD5);
  g_checksum_update(checksum, reinterpret_cast<const guchar*>(data.data()), gssize(data.size()));
  // Lowercase hexadecimal, 32 digits.
  std::string text = g_checksum_get_string(checksum);
  g_checksum_free(checksum);
  return text;
}
