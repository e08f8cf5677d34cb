#include "UserGestureBudget.h"

UserGestureBudget::UserGestureBudget(GtkWidget* view, std::function<double()> clock)
    : view_(view), clock_(clock ? std::move(clock) : [] { return g_get_monotonic_time() / 1e6; }) {
  g_signal_connect(view_, "event", G_CALLBACK(onEvent), this);
}

UserGestureBudget::~UserGestureBudget() {
  g_signal_handlers_disconnect_by_data(view_, this);
}

bool UserGestureBudget::take() {
  double now = clock_();
  if (now - lastRequest_ >= kQuietSeconds) left_ = kAddressesPerGesture;
  lastRequest_ = now;
  if (left_ == 0) return false;
  --left_;
  return true;
}

// Only presses start a gesture: a release, or a double click's extra event,
// belongs to the press before it. A key held down repeats its press, which
// the page takes for a gesture each time as well.
gboolean UserGestureBudget::onEvent(GtkWidget*, GdkEvent* event, gpointer data) {
  GdkEventType type = gdk_event_get_event_type(event);
  if (type == GDK_BUTTON_PRESS || type == GDK_KEY_PRESS || type == GDK_TOUCH_BEGIN) {
    static_cast<UserGestureBudget*>(data)->left_ = kAddressesPerGesture;
  }
  return FALSE;  // the view handles it as before
}
