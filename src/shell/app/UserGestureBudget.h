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
// to the page, whose requests come after.
//
// Threads: main thread only.
#pragma once

#include <gtk/gtk.h>

class UserGestureBudget {
 public:
  // A link or two a click, as a page of a sign-in or a share may open.
  static constexpr unsigned kAddressesPerGesture = 3;

  // view must outlive the budget.
  explicit UserGestureBudget(GtkWidget* view);
  ~UserGestureBudget();
  UserGestureBudget(const UserGestureBudget&) = delete;
  UserGestureBudget& operator=(const UserGestureBudget&) = delete;

  // Takes one address from the last gesture's budget; false when it is spent.
  bool take();

 private:
  static gboolean onEvent(GtkWidget* view, GdkEvent* event, gpointer self);

  GtkWidget* view_;
  unsigned left_ = 0;
};
