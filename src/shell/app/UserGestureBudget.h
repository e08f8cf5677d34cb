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
// page has asked for nothing for kQuietSeconds: WebKit carries a gesture
// into a page's timers for a second at most, so only a handler that keeps
// the whole page busy between its requests gets one more that way.
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

  // view must outlive the budget. clock: seconds from any fixed point
  // (monotonic time by default).
  explicit UserGestureBudget(GtkWidget* view, std::function<double()> clock = nullptr);
  ~UserGestureBudget();
  UserGestureBudget(const UserGestureBudget&) = delete;
  UserGestureBudget& operator=(const UserGestureBudget&) = delete;

  // Takes one address from the budget of the gesture of the request; false
  // when it is spent. Call it for requests that come from a gesture only.
  bool take();

 private:
  static gboolean onEvent(GtkWidget* view, GdkEvent* event, gpointer self);

  GtkWidget* view_;
  std::function<double()> clock_;
  unsigned left_ = 0;
  double lastRequest_ = -kQuietSeconds;  // when take() was last called
};
