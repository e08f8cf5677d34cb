#include "VeloraURLScheme.h"

#include <gtest/gtest.h>

namespace {

const std::vector<std::string> kHosts = {"www.velora.example", "beta.velora.example"};

std::string hashOf(const std::string& address) {
  std::string hash = "untouched";
  return VeloraURLScheme::locationHash(address, kHosts, hash) ? hash : "refused";
}

TEST(VeloraURLSchemeTest, SchemeAddressesAndPlayerAddressesGiveTheSameHash) {
  EXPECT_EQ(hashOf("veloraapp://album/123"), "!/album/123");
  EXPECT_EQ(hashOf("VeloraApp://album/123"), "!/album/123");
  EXPECT_EQ(hashOf("veloraapp://album/123://more"), "!/album/123");
  EXPECT_EQ(hashOf("veloraapp://"), "!/");
  EXPECT_EQ(hashOf("http://www.velora.example/#!/album/123"), "!/album/123");
  EXPECT_EQ(hashOf("https://www.velora.example/#!/album/123"), "!/album/123");
  EXPECT_EQ(hashOf("http://beta.velora.example/#!/playlist/9"), "!/playlist/9");
}

TEST(VeloraURLSchemeTest, OtherAddressesAreRefused) {
  EXPECT_EQ(hashOf("album/123"), "refused");
  EXPECT_EQ(hashOf(""), "refused");
  EXPECT_EQ(hashOf("http://www.velora.example/album/123"), "refused");
  EXPECT_EQ(hashOf("http://evil.example/#!/album/1"), "refused");
  EXPECT_EQ(hashOf("file:///etc/passwd"), "refused");
  EXPECT_EQ(hashOf("javascript://www.velora.example/#x"), "refused");
  std::string hash = "kept";
  EXPECT_FALSE(VeloraURLScheme::locationHash("http://www.velora.example/#!/x", {""}, hash));
  EXPECT_EQ(hash, "kept");
}

}  // namespace
