// The extension's part of the offline start (see SavedPageProtocol.h): per
// page, the origin whose requests go to the application's saved-page scheme.
//
// Threads: the web process's main thread, where WebKit emits its signals.
#pragma once

#include <webkit2/webkit-web-extension.h>

#include <string>

class SavedPageRedirect {
 public:
  // Listens for every page of the process.
  static void install(WebKitWebExtension* extension);

  // The saved-page address for a request of a page serving `origin` from the
  // saved page at `document`; empty when the request is not to that origin
  // (or none is served), or is for the document itself, and goes out as it is.
  static std::string redirect(const std::string& origin, const std::string& document, const std::string& uri);
  // The address a script of the page stands for: an address on the saved
  // page's scheme, while the page serves one, is the player's; any other is
  // itself.
  static std::string originalAddress(WebKitWebPage* page, const std::string& address);
  // Whether the address is at the origin ("scheme://host[:port]", as
  // WebKit writes both): the origin ends where the address's authority does.
  static bool isAtOrigin(const std::string& origin, const std::string& address);

 private:
  static void onPageCreated(WebKitWebExtension* extension, WebKitWebPage* page, gpointer);
  static gboolean onMessage(WebKitWebPage* page, WebKitUserMessage* message, gpointer);
  static gboolean onSendRequest(WebKitWebPage* page, WebKitURIRequest* request, WebKitURIResponse* redirected,
                                gpointer);
};
