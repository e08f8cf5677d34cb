// Keeps the player's window for the player. A main-frame navigation of the
// main view that ends (after its redirects) at another origin than the
// player's goes on only when the application asked for it (an address it
// loads, a history step it takes) or the user started it (a click, a key).
// One that a page started by itself, such as a pop-up of another origin
// setting opener.location or a frame setting top.location, is refused and
// logged: with no address bar, the user could not tell the page from the
// player's. The same holds for a navigation to the player's origin that
// neither the document the window shows nor the player started (as its
// request's Referer tells) and that is no reload or step in history: a
// frame setting top.location to the player's address would reload the
// player without end, also from a data: or blob: frame inside it, which
// names no Referer. Frames other than the main frame are left alone.
//
// A step of the main frame in history to another origin than the player's
// goes on only as a load of that page could (the user's gesture or the
// application's); it is decided on its action, since a page that comes back
// from the back/forward cache brings no response to ask about. The
// player's own pages may be stepped between, as in a browser.
//
// While the saved page shows (the offline start), the player's requests to
// its origin are answered on the saved page's scheme, its own navigations
// too: such an address is judged as the player's address it stands for,
// and a navigation that may go on is handed to `leaveSavedPage`, which
// loads it from the network, rather than shown from the saved page.
//
// WebKit tells whether a load is the main frame's only with its response, and
// who started it only with its navigation action: the actions of the view are
// remembered (the last few, by address) until their response. A navigation
// to the player's origin whose action is no longer remembered counts as a
// page's.
//
// Threads: main thread only.
#pragma once

#include <webkit2/webkit2.h>

#include <deque>
#include <functional>
#include <string>

#include "RepeatedRefusalLog.h"

class MainViewNavigationPolicy {
 public:
  // view must outlive the policy. playerOrigin as PagePublisher::originOf gives it.
  MainViewNavigationPolicy(WebKitWebView* view, std::string playerOrigin);
  ~MainViewNavigationPolicy();
  MainViewNavigationPolicy(const MainViewNavigationPolicy&) = delete;
  MainViewNavigationPolicy& operator=(const MainViewNavigationPolicy&) = delete;

  // The application loads the address into the view now: that load is the
  // application's, also when the view shows that address already (where
  // the view cannot tell it from a page's navigation to the same address).
  void expectLoad(const std::string& address) { expectedLoad_ = address; }

  // Takes the saved player's own navigations to its origin (see above), and
  // whether its script started one by itself (no user's gesture, not the
  // application's).
  void setLeaveSavedPage(std::function<void(const std::string& address, bool byScript)> leave) {
    leaveSavedPage_ = std::move(leave);
  }

  // How many navigations it refused so far.
  unsigned long refusals() const { return refusals_.count(); }

  // The origin of the page that started the action, as its request's Referer
  // names it (the document's address, or its origin alone across origins);
  // empty when it names none (a data: or blob: document, a page that sends
  // no Referer, the application's own load).
  static std::string starterOrigin(WebKitNavigationAction* action);

 private:
  struct Action {
    std::string address;
    bool byUser;           // a user gesture started it
    bool byApplication;    // the application's own load (the view showed its address at once)
    bool byOtherOrigin;    // a page of another origin than the player's started it
    bool byOwnDocument;    // the player, or the document the window shows, started it
    bool reloadOrHistory;  // a reload (no frame of another origin can start one) or a step in history
    bool historyStep;      // a step in history (back from the page cache, it brings no response)
  };

  static gboolean onDecidePolicy(WebKitWebView* view, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                 gpointer self);
  static void onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self);
  void remember(WebKitNavigationAction* action);
  const Action* find(const std::string& address) const;
  // False when the main frame's answer from `address` must not be shown.
  bool mayShow(const std::string& address) const;
  // False for a step of the main frame in history that must not go on (see above).
  bool mayStep(const Action& action) const;

  WebKitWebView* view_;
  const std::string playerOrigin_;
  std::deque<Action> actions_;  // the newest first
  std::string committed_;       // the address of the document the main frame shows
  std::string expectedLoad_;    // the application's load announced and not yet asked about
  std::function<void(const std::string&, bool)> leaveSavedPage_;
  bool mainLoadByApplication_ = false;
  RepeatedRefusalLog refusals_{
      "MainViewNavigationPolicy refused a navigation of the player's window that a page started"};
};
