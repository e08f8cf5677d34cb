#pragma once

// Test support: runs the zip tools that stand as real peers of our archives,
// `unzip -t` and Python's zipfile. Header-only; tests only.

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>
#include <zlib.h>

// "length:crc32" of the bytes, as pythonZipListing prints them.
inline std::string zipDigest(const std::string& bytes) {
  char text[40];
  snprintf(text, sizeof text, "%zu:%08lx", bytes.size(),
           crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), uInt(bytes.size())));
  return text;
}

struct ZipPeerResult {
  int status = -1;  // the command's exit status, -1 when it did not run
  std::string output;
};

// Runs a shell command and collects its standard output.
inline ZipPeerResult runZipPeer(const std::string& command) {
  ZipPeerResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  size_t length;
  while ((length = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, length);
  int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// `unzip -t -q` on the archive (0 when every entry tests good).
inline ZipPeerResult unzipTest(const std::string& archive, const std::string& password = std::string()) {
  std::string option = password.empty() ? std::string() : " -P '" + password + "'";
  return runZipPeer("unzip -t -q" + option + " '" + archive + "' 2>&1");
}

// Python's zipfile reading the archive (with the password, when one is
// given): testzip, then for each entry a line
// "name<TAB>compress_type<TAB>flag_bits<TAB>Y-M-D h:m:s<TAB>length:crc32" of
// the content as Python read it (crc32 in 8 lowercase hexadecimal digits).
inline ZipPeerResult pythonZipListing(const std::string& archive, const std::string& password = std::string()) {
  const char* script =
      "import os, sys, zipfile, zlib\n"
      "z = zipfile.ZipFile(sys.argv[1])\n"
      "if os.environ['VELORA_ZIP_PASSWORD']: z.setpassword(os.environ['VELORA_ZIP_PASSWORD'].encode())\n"
      "bad = z.testzip()\n"
      "assert bad is None, bad\n"
      "for i in z.infolist():\n"
      "    data = z.read(i)\n"
      "    print('%s\\t%d\\t%d\\t%04d-%02d-%02d %02d:%02d:%02d\\t%d:%08x' % ((i.filename, i.compress_type,"
      " i.flag_bits) + i.date_time + (len(data), zlib.crc32(data))))\n";
  // Handed over in the environment, out of the shell's quoting.
  setenv("VELORA_ZIP_LISTING", script, 1);
  setenv("VELORA_ZIP_PASSWORD", password.c_str(), 1);
  return runZipPeer("python3 -c \"$VELORA_ZIP_LISTING\" '" + archive + "' 2>&1");
}

// The five fields of each entry line of pythonZipListing; empty when Python
// could not read the archive (its status is then in `status` when given).
inline std::vector<std::vector<std::string>> pythonZipEntries(const std::string& archive, int* status = nullptr) {
  ZipPeerResult python = pythonZipListing(archive);
  if (status) *status = python.status;
  std::vector<std::vector<std::string>> entries;
  std::stringstream lines(python.output);
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> fields;
    std::stringstream columns(line);
    std::string field;
    while (std::getline(columns, field, '\t')) fields.push_back(field);
    if (fields.size() == 5) entries.push_back(fields);
  }
  return entries;
}

// A fixed local time (as archives record it).
inline std::time_t localTimeOf(int year, int month, int day, int hour, int minute, int second) {
  struct tm local = {};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  return mktime(&local);
}
