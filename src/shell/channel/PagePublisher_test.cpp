#include "PagePublisher.h"

#include <gtest/gtest.h>

namespace {

TEST(PagePublisherTest, OriginsAreSchemeHostAndPortAsDocumentsGiveThem) {
  EXPECT_EQ(PagePublisher::originOf("http://Player.Example.com/app/"), "http://player.example.com");
  EXPECT_EQ(PagePublisher::originOf("HTTP://player.example.com:80/"), "http://player.example.com");
  EXPECT_EQ(PagePublisher::originOf("https://player.example.com:443/x?y#z"), "https://player.example.com");
  EXPECT_EQ(PagePublisher::originOf("https://player.example.com:80/"), "https://player.example.com:80");
  EXPECT_EQ(PagePublisher::originOf("http://127.0.0.1:8080"), "http://127.0.0.1:8080");
  EXPECT_EQ(PagePublisher::originOf("http://[::1]:8080/"), "http://[::1]:8080");
  EXPECT_EQ(PagePublisher::originOf("file:///usr/share/loader.html"), "");
  EXPECT_EQ(PagePublisher::originOf("not an address"), "");
  EXPECT_EQ(PagePublisher::originOf(""), "");
}

PagePublication::Frame frame(uint64_t page, const std::string& origin, const std::string& uri) {
  PagePublication::Frame f;
  f.page = page;
  f.origin = origin;
  f.uri = uri;
  return f;
}

TEST(PagePublisherTest, OnlyPlayerOriginDocumentsOfTheMainViewGetObjects) {
  int filled = 0;
  PagePublisher publisher([] { return uint64_t{7}; }, "http://player.example.com/",
                          [&filled](PagePublication&) { ++filled; });
  // Publications are only judged here: a connection over memory streams,
  // on which nothing is sent, will do.
  GIOStream* stream =
      G_IO_STREAM(g_simple_io_stream_new(g_memory_input_stream_new(), g_memory_output_stream_new_resizable()));
  GDBusConnection* connection = g_dbus_connection_new_sync(
      stream, nullptr, G_DBUS_CONNECTION_FLAGS_DELAY_MESSAGE_PROCESSING, nullptr, nullptr, nullptr);
  ASSERT_NE(connection, nullptr);
  auto decide = [&](uint64_t page, const std::string& origin, const std::string& uri) {
    PagePublication publication(1, frame(page, origin, uri), connection);
    return publisher.publish(publication);
  };
  const std::string player = "http://player.example.com";
  EXPECT_TRUE(decide(7, player, player + "/app/"));
  EXPECT_FALSE(decide(8, player, player + "/app/"));                                             // another view
  EXPECT_FALSE(decide(7, "http://player.example.com:8080", "http://player.example.com:8080/"));  // another port
  EXPECT_FALSE(decide(7, "https://player.example.com", "https://player.example.com/"));          // another scheme
  EXPECT_FALSE(decide(7, "http://ads.example.com", "http://ads.example.com/"));                  // a third party
  EXPECT_FALSE(decide(7, "null", player + "/frame.html"));  // opaque: a sandboxed frame of the player's address
  EXPECT_FALSE(decide(7, player, "about:blank"));           // only inherits the player's origin
  EXPECT_FALSE(decide(7, "", player + "/"));
  EXPECT_EQ(filled, 1);
  g_object_unref(connection);
  g_object_unref(stream);
}

}  // namespace
