#include "ApplicationActivity.h"

namespace {
// Marks the windows whose focus is followed, with the watch that follows them.
const char* const kFollowedKey = "velora-application-activity";
}  // namespace

ApplicationActivity::ApplicationActivity(unsigned resignDelayMs)
    : resignDelayMs_(resignDelayMs), active_(anyWindowActive()) {
  // Windows made later are found when they are shown: a hook on every
  // widget's map (and unmap: an active window hidden or destroyed may take
  // the focus out of the application without a focus change of ours).
  gpointer widgetClass = g_type_class_ref(GTK_TYPE_WIDGET);
  mapSignal_ = g_signal_lookup("map", GTK_TYPE_WIDGET);
  unmapSignal_ = g_signal_lookup("unmap", GTK_TYPE_WIDGET);
  mapHook_ = g_signal_add_emission_hook(mapSignal_, 0, windowMappedOrUnmapped, this, nullptr);
  unmapHook_ = g_signal_add_emission_hook(unmapSignal_, 0, windowMappedOrUnmapped, this, nullptr);
  g_type_class_unref(widgetClass);
  GList* windows = gtk_window_list_toplevels();
  for (GList* item = windows; item; item = item->next) follow(GTK_WINDOW(item->data));
  g_list_free(windows);
}

ApplicationActivity::~ApplicationActivity() {
  g_signal_remove_emission_hook(mapSignal_, mapHook_);
  g_signal_remove_emission_hook(unmapSignal_, unmapHook_);
  if (resignTimer_) g_source_remove(resignTimer_);
  GList* windows = gtk_window_list_toplevels();
  for (GList* item = windows; item; item = item->next) {
    if (g_object_get_data(G_OBJECT(item->data), kFollowedKey) != this) continue;
    g_signal_handlers_disconnect_by_data(item->data, this);
    g_object_set_data(G_OBJECT(item->data), kFollowedKey, nullptr);
  }
  g_list_free(windows);
}

unsigned ApplicationActivity::addActiveHandler(ActiveHandler handler) {
  activeHandlers_[++nextId_] = std::move(handler);
  return nextId_;
}

unsigned ApplicationActivity::addWindowActivatedHandler(WindowHandler handler) {
  windowHandlers_[++nextId_] = std::move(handler);
  return nextId_;
}

void ApplicationActivity::removeHandler(unsigned id) {
  activeHandlers_.erase(id);
  windowHandlers_.erase(id);
}

gboolean ApplicationActivity::windowMappedOrUnmapped(GSignalInvocationHint* hint, guint count, const GValue* values,
                                                     gpointer data) {
  auto* self = static_cast<ApplicationActivity*>(data);
  auto* widget = count > 0 ? static_cast<GObject*>(g_value_get_object(&values[0])) : nullptr;
  if (!GTK_IS_WINDOW(widget)) return TRUE;
  if (hint->signal_id == self->mapSignal_) {
    self->follow(GTK_WINDOW(widget));
  } else if (self->active_) {
    self->scheduleResignCheck();
  }
  return TRUE;  // stay hooked
}

void ApplicationActivity::follow(GtkWindow* window) {
  if (g_object_get_data(G_OBJECT(window), kFollowedKey) == this) return;
  g_object_set_data(G_OBJECT(window), kFollowedKey, this);
  g_signal_connect(window, "notify::is-active", G_CALLBACK(windowActiveChanged), this);
}

bool ApplicationActivity::anyWindowActive() {
  bool active = false;
  GList* windows = gtk_window_list_toplevels();
  for (GList* item = windows; item && !active; item = item->next) {
    active = gtk_widget_get_visible(GTK_WIDGET(item->data)) && gtk_window_is_active(GTK_WINDOW(item->data));
  }
  g_list_free(windows);
  return active;
}

void ApplicationActivity::windowActiveChanged(GObject* window, GParamSpec*, gpointer data) {
  auto* self = static_cast<ApplicationActivity*>(data);
  if (!gtk_window_is_active(GTK_WINDOW(window))) {
    self->scheduleResignCheck();
    return;
  }
  if (self->resignTimer_) g_source_remove(self->resignTimer_);
  self->resignTimer_ = 0;
  auto handlers = self->windowHandlers_;  // a handler may remove itself
  for (auto& entry : handlers) entry.second();
  self->setActive(true);
}

void ApplicationActivity::scheduleResignCheck() {
  if (resignTimer_) return;
  resignTimer_ = g_timeout_add(
      resignDelayMs_,
      [](gpointer data) -> gboolean {
        auto* self = static_cast<ApplicationActivity*>(data);
        self->resignTimer_ = 0;
        self->resignUnlessActive();
        return G_SOURCE_REMOVE;
      },
      this);
}

void ApplicationActivity::resignUnlessActive() {
  if (!anyWindowActive()) setActive(false);
}

void ApplicationActivity::setActive(bool active) {
  if (active == active_) return;
  active_ = active;
  auto handlers = activeHandlers_;  // a handler may remove itself
  for (auto& entry : handlers) entry.second(active);
}
