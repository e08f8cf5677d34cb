#include "UserGestureBudget.h"

#include <webkit2/webkit2.h>

#include <memory>

UserGestureBudget::UserGestureBudget(GtkWidget* view, std::function<double()> clock, AskPage askPage)
    : view_(view),
      clock_(clock ? std::move(clock) : [] { return g_get_monotonic_time() / 1e6; }),
      askPage_(std::move(askPage)),
      pending_(g_cancellable_new()) {
  if (!askPage_) askPage_ = [this](std::function<void()> answered) { askView(std::move(answered)); };
  g_signal_connect(view_, "event", G_CALLBACK(onEvent), this);
}

UserGestureBudget::~UserGestureBudget() {
  g_signal_handlers_disconnect_by_data(view_, this);
  g_cancellable_cancel(pending_);
  g_object_unref(pending_);
}

bool UserGestureBudget::take() {
  double now = clock_();
  if (now - lastRequest_ >= kQuietSeconds && answered_) left_ = kAddressesPerGesture;
  lastRequest_ = now;
  // Whether the script that asked ends before the next request. A question
  // still unanswered is answered after this script too: the page answers in
  // turn, once the script running now has ended.
  answered_ = false;
  if (!asking_) {
    asking_ = true;
    askPage_([this] {
      asking_ = false;
      answered_ = true;
    });
  }
  if (left_ == 0) return false;
  --left_;
  return true;
}

// A script of nothing: its answer comes once the web process's main thread
// is free, which a page's script keeps busy while it runs.
void UserGestureBudget::askView(std::function<void()> answered) {
  webkit_web_view_evaluate_javascript(WEBKIT_WEB_VIEW(view_), "0", -1, nullptr, nullptr, pending_, onViewAnswered,
                                      new std::function<void()>(std::move(answered)));
}

void UserGestureBudget::onViewAnswered(GObject* view, GAsyncResult* result, gpointer data) {
  std::unique_ptr<std::function<void()>> answered(static_cast<std::function<void()>*>(data));
  GError* error = nullptr;
  JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(view), result, &error);
  if (value != nullptr) g_object_unref(value);
  // Cancelled: the budget is gone. Any other failure (the web process
  // ended, a page of no script) is an answer all the same: nothing runs.
  bool cancelled = error != nullptr && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
  if (error != nullptr) g_error_free(error);
  if (!cancelled) (*answered)();
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
