#include "MachineIdentity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>

#include "TestFolder.h"

namespace {

// The same hash computed by Python's hmac, as an independent peer.
std::string pythonUid(const std::string& machineId) {
  std::string command =
      "python3 -c \"import hmac, hashlib, uuid; d = bytearray(hmac.new(bytes.fromhex('" + machineId +
      "'), bytes.fromhex('8c750a0d8cc84e079cc9ac82f7a58fd0'), hashlib.sha256).digest()[:16]); "
      "d[6] = d[6] & 15 | 64; d[8] = d[8] & 63 | 128; print(str(uuid.UUID(bytes=bytes(d))).upper())\"";
  FILE* pipe = popen(command.c_str(), "r");
  char line[64] = {};
  if (pipe) {
    if (!fgets(line, sizeof line, pipe)) line[0] = '\0';
    pclose(pipe);
  }
  std::string text = line;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

TEST(MachineIdentityTest, AnApplicationSpecificHashNeverTheRawId) {
  TestFolder folder;
  std::string first = "4f6e2a9c0d1b47e8a3c5f7b9d2e4a6c8";
  std::string second = "4f6e2a9c0d1b47e8a3c5f7b9d2e4a6c9";
  TestFolder::write(folder.file("first"), first + "\n");
  TestFolder::write(folder.file("upper"), "4F6E2A9C0D1B47E8A3C5F7B9D2E4A6C8");
  TestFolder::write(folder.file("second"), second + "\n");

  std::string uid = MachineIdentity::systemUidFromFile(folder.file("first"));
  EXPECT_TRUE(std::regex_match(uid, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
      << uid;
  EXPECT_EQ(pythonUid(first), uid);
  EXPECT_EQ(uid, MachineIdentity::systemUidFromFile(folder.file("upper")));
  EXPECT_EQ(pythonUid(second), MachineIdentity::systemUidFromFile(folder.file("second")));
  EXPECT_NE(uid, MachineIdentity::systemUidFromFile(folder.file("second")));
  std::string bare = uid;
  bare.erase(std::remove(bare.begin(), bare.end(), '-'), bare.end());
  EXPECT_EQ(std::string::npos, bare.find("4F6E2A9C"));
}

TEST(MachineIdentityTest, MalformedIdsGiveNothing) {
  TestFolder folder;
  for (const char* content : {"", "\n", "4f6e2a9c0d1b47e8a3c5f7b9d2e4a6c", "4f6e2a9c0d1b47e8a3c5f7b9d2e4a6c8ff",
                              "4f6e2a9c-0d1b-47e8-a3c5-f7b9d2e4a6c8", "zf6e2a9c0d1b47e8a3c5f7b9d2e4a6c8",
                              "00000000000000000000000000000000\n", "uninitialized\n"}) {
    TestFolder::write(folder.file("id"), content);
    EXPECT_EQ("", MachineIdentity::systemUidFromFile(folder.file("id"))) << content;
  }
  EXPECT_EQ("", MachineIdentity::systemUidFromFile(folder.file("missing")));
}

TEST(MachineIdentityTest, ThisMachineHasOne) {
  if (!TestFolder::exists("/etc/machine-id") && !TestFolder::exists("/var/lib/dbus/machine-id"))
    GTEST_SKIP() << "no machine id on this machine";
  std::string uid = MachineIdentity::systemUid();
  EXPECT_EQ(36u, uid.size());
  EXPECT_EQ(uid, MachineIdentity::systemUid());
}

}  // namespace
