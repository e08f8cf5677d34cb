#include "UserGestureBudget.h"

UserGestureBudget::UserGestureBudget(GtkWidget* view) : view_(view) {
  g_signal_connect(view_, "event", G_CALLBACK(onEvent), this);
}

UserGestureBudget::~UserGestureBudget() {
  g_signal_handlers_disconnect_by_data(view_, this);
}

bool UserGestureBudget::take() {
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
