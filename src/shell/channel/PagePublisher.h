// Decides which frames get the page objects: only documents of the player's
// exact origin (scheme, host and port) at an address of that origin, shown in
// the main web view. Other web views (the preloading view, pop-ups), other
// origins (third-party frames, the player's host on another port or scheme),
// opaque origins (sandboxed frames, whatever their address) and documents
// that only inherit the origin (about:blank, data:) get none.
// WebKit's own error pages never reach the main view (see MainWindow).
//
// Threads: main thread only.
#pragma once

#include <functional>
#include <string>

#include "PageChannel.h"

class PagePublisher : public PageChannel::Delegate {
 public:
  // Fills a publication the policy allows with the objects and scripts.
  using Fill = std::function<void(PagePublication& publication)>;
  using Console =
      std::function<void(unsigned level, const std::string& text, const std::string& source, unsigned line)>;
  using Warning = std::function<void(const std::string& text)>;
  using Shown = std::function<void(PagePublication& publication, bool shown)>;

  // mainPageId: gives the page id of the main view (asked on every frame).
  PagePublisher(std::function<uint64_t()> mainPageId, std::string playerAddress, Fill fill);

  // Console messages of the main view whose source (the script, or the
  // document for inline code) is at the player's origin or that have none
  // (code made of text), and the channel's warnings.
  void setConsole(Console console) { console_ = std::move(console); }
  void setWarning(Warning warning) { warning_ = std::move(warning); }
  // Publications of the main view that go into the back/forward cache or
  // come back from it.
  void setShown(Shown shown) { shown_ = std::move(shown); }

  // The origin of an address as a document would give it: scheme://host with
  // ":port" when the port is not the scheme's default; empty when the address
  // has no host.
  static std::string originOf(const std::string& address);
  const std::string& playerOrigin() const { return playerOrigin_; }

  bool publish(PagePublication& publication) override;
  void consoleMessage(uint64_t page, unsigned level, const std::string& text, const std::string& source,
                      unsigned line) override;
  void channelWarning(const std::string& text) override;
  void publicationShown(PagePublication& publication, bool shown) override;

 private:
  std::function<uint64_t()> mainPageId_;
  std::string playerOrigin_;
  Fill fill_;
  Console console_;
  Warning warning_;
  Shown shown_;
};
