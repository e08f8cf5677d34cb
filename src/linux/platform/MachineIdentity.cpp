#include "MachineIdentity.h"

#include <cctype>
#include <cstdio>
#include <openssl/evp.h>

#include "VLLogger.h"

namespace {

// This application's id, fixed for good: changing it changes every machine's
// identifier as the service knows it.
const unsigned char kApplicationId[16] = {0x8c, 0x75, 0x0a, 0x0d, 0x8c, 0xc8, 0x4e, 0x07,
                                          0x9c, 0xc9, 0xac, 0x82, 0xf7, 0xa5, 0x8f, 0xd0};

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = char(tolower(c));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// The 16 bytes of a machine-id file's first line; false when it is not 32
// hexadecimal digits or is all zero (an id not yet set up).
bool readMachineId(const std::string& path, unsigned char id[16]) {
  FILE* file = fopen(path.c_str(), "re");
  if (!file) return false;
  char line[64] = {};
  bool read = fgets(line, sizeof line, file) != nullptr;
  fclose(file);
  if (!read) return false;
  bool nonZero = false;
  for (int i = 0; i < 16; ++i) {
    int high = hexValue(line[2 * i]);
    int low = hexValue(line[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    id[i] = (unsigned char)(high << 4 | low);
    nonZero = nonZero || id[i];
  }
  return nonZero && (line[32] == '\0' || line[32] == '\n');
}

std::string uuidText(const unsigned char bytes[16]) {
  char text[37];
  snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
           bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
           bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

}  // namespace

std::string MachineIdentity::systemUid() {
  for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
    std::string uid = systemUidFromFile(path);
    if (!uid.empty()) return uid;
  }
  VL_LOG_ERROR("No machine id in /etc/machine-id or /var/lib/dbus/machine-id");
  return std::string();
}

std::string MachineIdentity::systemUidFromFile(const std::string& machineIdPath) {
  unsigned char machineId[16];
  if (!readMachineId(machineIdPath, machineId)) return std::string();
  unsigned char digest[EVP_MAX_MD_SIZE];
  size_t length = 0;
  if (!EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, machineId, sizeof machineId, kApplicationId,
                 sizeof kApplicationId, digest, sizeof digest, &length) ||
      length < 16) {
    VL_LOG_ERROR("EVP_Q_mac has failed for HMAC-SHA256");
    return std::string();
  }
  // A random-style (version 4, RFC 4122 variant) UUID, as a platform UUID reads.
  digest[6] = (digest[6] & 0x0f) | 0x40;
  digest[8] = (digest[8] & 0x3f) | 0x80;
  return uuidText(digest);
}
