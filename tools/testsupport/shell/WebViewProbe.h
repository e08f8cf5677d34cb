// What the shell's tests read of a web view: script results and what shows.
//
// Threads: the tests' main thread.
#pragma once

#include <webkit2/webkit2.h>

#include <string>

class WebViewProbe {
 public:
  // Evaluates the script in the view's main frame and returns its result as
  // JSON (JSON.stringify of it); "" when it failed or did not answer.
  static std::string evaluate(WebKitWebView* view, const std::string& script);
  // The text of the view's document body ("" when none).
  static std::string bodyText(WebKitWebView* view);
  // Runs the main loop until the view's current load has finished (or failed).
  static bool waitForLoad(WebKitWebView* view);
};

// A TCP listener on 127.0.0.1 that never answers: connections wait in its
// backlog. For time-outs.
class SilentListener {
 public:
  SilentListener();
  ~SilentListener();
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;
  // "http://127.0.0.1:port"; empty when it could not listen.
  std::string origin() const;

 private:
  GSocket* socket_ = nullptr;
  unsigned port_ = 0;
};

// A loopback port with nothing listening on it: connections are refused.
std::string refusedOrigin();
