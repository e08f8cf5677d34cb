// How many addresses one gesture of the user may hand the desktop (its
// browser, its mail program) for pages other than the player: a frame of
// another origin, an advert say, whose click handler clicks a thousand
// links would otherwise open a thousand browser tabs or mail windows with
// one click. Each press of a mouse button, a key or a touch on the view
// gives a new budget of kAddressesPerGesture; what is left of the last one
// goes.
//
// WebKit tells that a request comes from a gesture, not from which one: the
// gestures are counted here as the view receives them, before it hands them
// to the page, whose requests come after. A gesture the view never receives
// (assistive technology activating a link, say) gets a budget too once the
// page has asked for nothing for kQuietSeconds and has answered a question
// put to it after its last request: WebKit carries a gesture into a page's
// timers for a second at most, and a handler that keeps the page busy (its
// one gesture lasting as long) lets no answer through until it ends.
//
// Threads: main thread only.
#pragma once

#include <gtk/gtk.h>

#include <functional>

class UserGestureBudget {
 public:
  // A link or two a click, as a page of a sign-in or a share may open.
  static constexpr unsigned kAddressesPerGesture = 3;
  // Longer than WebKit carries a gesture, with room for a busy moment.
  static constexpr double kQuietSeconds = 2;

  // Asks the page a question and calls `answered` when its answer comes,
  // which is after the page's script running now has ended.
  using AskPage = std::function<void(std::function<void()> answered)>;

  // view must outlive the budget. clock: seconds from any fixed point
  // (monotonic time by default). askPage: evaluates a script in the view by
  // default (view must then be a WebKitWebView).
  explicit UserGestureBudget(GtkWidget* view, std::function<double()> clock = nullptr, AskPage askPage = nullptr);
  ~UserGestureBudget();
  UserGestureBudget(const UserGestureBudget&) = delete;
  UserGestureBudget& operator=(const UserGestureBudget&) = delete;

  // Takes one address from the budget of the gesture of the request; false
  // when it is spent. Call it for requests that come from a gesture only.
  bool take();

 private:
  static gboolean onEvent(GtkWidget* view, GdkEvent* event, gpointer self);
  void askView(std::function<void()> answered);
  static void onViewAnswered(GObject* view, GAsyncResult* result, gpointer answered);

  GtkWidget* view_;
  std::function<double()> clock_;
  AskPage askPage_;
  GCancellable* pending_;  // the view's questions not answered yet, cancelled with the budget
  unsigned left_ = 0;
  double lastRequest_ = -kQuietSeconds;  // when take() was last called
  bool answered_ = true;                 // the page answered after that
  bool asking_ = false;                  // a question to the page is not answered yet
};
