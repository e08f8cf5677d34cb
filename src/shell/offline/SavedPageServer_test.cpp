#include "SavedPageProtocol.h"

#include <gtest/gtest.h>

namespace {

TEST(SavedPageServerTest, SchemeAddressesStandForThePlayersOwn) {
  EXPECT_EQ(
      SavedPageProtocol::originalAddress("http://p.example.com:8080/", "velora-saved://p.example.com:8080/a.js?x"),
      "http://p.example.com:8080/a.js?x");
  EXPECT_EQ(SavedPageProtocol::originalAddress("https://p.example.com/", "velora-saved://p.example.com/img/c.png"),
            "https://p.example.com/img/c.png");
  EXPECT_EQ(SavedPageProtocol::originalAddress("https://p.example.com/", "http://p.example.com/a.js"), "");
  EXPECT_EQ(SavedPageProtocol::originalAddress("nothing", "velora-saved://p.example.com/a.js"), "");
}

}  // namespace
