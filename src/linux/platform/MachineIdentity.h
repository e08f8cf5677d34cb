#pragma once

#include <string>

// The machine's identifier as this application shows it to the service (the
// log upload's "udid", the device information's "system_uid").
//
// machine-id(5) asks that the raw id never leave the machine: what is given
// out is an application-specific hash of it, the HMAC-SHA256 keyed by the
// 128-bit machine id of a fixed 128-bit application id, its first 16 bytes
// written as a version-4 UUID in uppercase ("8-4-4-4-12" hexadecimal digits).
// The same machine always gives the same identifier; it cannot be turned
// back into the machine id, nor matched with other applications' ids.
//
// Any thread; nothing is kept between calls.
class MachineIdentity {
 public:
  MachineIdentity() = delete;

  // From /etc/machine-id, else /var/lib/dbus/machine-id. Empty, with an
  // error in the log, when neither holds a valid id.
  static std::string systemUid();
  // From the given file: its first line must be 32 hexadecimal digits, not
  // all zero. Empty when it is not.
  static std::string systemUidFromFile(const std::string& machineIdPath);
};
