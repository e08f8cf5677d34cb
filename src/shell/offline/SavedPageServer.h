// Shows a saved player page in a web view without the network (the offline
// start): the page's document is loaded as alternate HTML at the page's own
// address, and the requests the page then makes to the player's origin come
// back, through our extension (SavedPageProtocol.h), on our own URI scheme,
// which this object answers from the saved page. What the page asks for and
// was not saved is answered 404.
//
// Threads: main thread only (WebKit's).
#pragma once

#include <webkit2/webkit2.h>

#include <functional>
#include <memory>
#include <string>

#include "SavedPage.h"

class SavedPageServer {
 public:
  // Registers the scheme with the context; before the context's first load.
  // One server per context.
  explicit SavedPageServer(WebKitWebContext* context);
  ~SavedPageServer();
  SavedPageServer(const SavedPageServer&) = delete;
  SavedPageServer& operator=(const SavedPageServer&) = delete;

  // Serves the page in the view: once the view's web process has taken the
  // redirection, loads the page's document at `address` (the page's address,
  // with a fragment when one is wanted) and calls `loaded` (may be empty).
  // The page must hold its document.
  void show(WebKitWebView* view, SavedPage page, const std::string& address, std::function<void()> loaded = {});
  // Ends the redirection in the view; call before loading anything else in it.
  void stop(WebKitWebView* view);
  // Whether a saved page is being served.
  bool isServing() const { return page_ != nullptr; }

 private:
  struct Pending;
  static void onSchemeRequest(WebKitURISchemeRequest* request, gpointer self);
  static void onServeTaken(GObject* view, GAsyncResult* result, gpointer pending);
  void answer(WebKitURISchemeRequest* request);

  std::shared_ptr<const SavedPage> page_;
  std::string origin_;
  // Ends with the server: a reply that comes later finds it gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
