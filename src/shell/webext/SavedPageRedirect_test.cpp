#include "SavedPageRedirect.h"

#include <gtest/gtest.h>

namespace {

TEST(SavedPageRedirectTest, OnlyRequestsToTheServedOriginButTheDocumentGoToTheSavedPage) {
  const std::string origin = "http://127.0.0.1:8080";
  const std::string document = "http://127.0.0.1:8080/app/#!/album/1";
  auto redirect = [&](const std::string& uri) { return SavedPageRedirect::redirect(origin, document, uri); };
  EXPECT_EQ(redirect("http://127.0.0.1:8080/app/app.js?v=2"), "velora-saved://127.0.0.1:8080/app/app.js?v=2");
  EXPECT_EQ(redirect("http://127.0.0.1:8080/"), "velora-saved://127.0.0.1:8080/");
  EXPECT_EQ(redirect("http://127.0.0.1:8080"), "velora-saved://127.0.0.1:8080/");
  // The document itself is the alternate HTML: a request for it is a reload.
  EXPECT_EQ(redirect("http://127.0.0.1:8080/app/"), "");
  // Another port, scheme or host, or a host that merely starts the same.
  EXPECT_EQ(redirect("http://127.0.0.1:80801/a.js"), "");
  EXPECT_EQ(redirect("http://127.0.0.1:8081/a.js"), "");
  EXPECT_EQ(redirect("https://127.0.0.1:8080/a.js"), "");
  EXPECT_EQ(redirect("http://127.0.0.2:8080/a.js"), "");
  EXPECT_EQ(SavedPageRedirect::redirect("", document, "http://127.0.0.1:8080/a.js"), "");
  EXPECT_EQ(SavedPageRedirect::redirect("https://player.example.com", "https://player.example.com/",
                                        "https://player.example.com/s.css"),
            "velora-saved://player.example.com/s.css");
}

}  // namespace
