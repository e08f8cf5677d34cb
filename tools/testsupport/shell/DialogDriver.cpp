#include "DialogDriver.h"

DialogDriver::DialogDriver(std::vector<Step> steps) : steps_(std::move(steps)) {
  if (!steps_.empty()) {
    timer_ = g_timeout_add(
        20, [](gpointer self) { return static_cast<DialogDriver*>(self)->poll(); }, this);
  }
}

DialogDriver::~DialogDriver() {
  if (timer_ != 0) g_source_remove(timer_);
  if (last_ != nullptr) g_object_remove_weak_pointer(G_OBJECT(last_), reinterpret_cast<gpointer*>(&last_));
}

gboolean DialogDriver::poll() {
  GtkMessageDialog* dialog = shown(last_);
  if (dialog == nullptr) return G_SOURCE_CONTINUE;
  if (last_ != nullptr) g_object_remove_weak_pointer(G_OBJECT(last_), reinterpret_cast<gpointer*>(&last_));
  last_ = GTK_WIDGET(dialog);
  g_object_add_weak_pointer(G_OBJECT(last_), reinterpret_cast<gpointer*>(&last_));
  steps_[next_++](dialog);
  if (!done()) return G_SOURCE_CONTINUE;
  timer_ = 0;
  return G_SOURCE_REMOVE;
}

std::string DialogDriver::property(GtkMessageDialog* dialog, const char* name) {
  gchar* value = nullptr;
  g_object_get(dialog, name, &value, nullptr);
  std::string text = value != nullptr ? value : "";
  g_free(value);
  return text;
}

std::string DialogDriver::buttonLabel(GtkMessageDialog* dialog, int response) {
  GtkWidget* button = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), response);
  const char* label = button != nullptr ? gtk_button_get_label(GTK_BUTTON(button)) : nullptr;
  return label != nullptr ? label : "";
}

GtkMessageDialog* DialogDriver::shown(GtkWidget* other) {
  GtkMessageDialog* found = nullptr;
  GList* windows = gtk_window_list_toplevels();
  for (GList* item = windows; item != nullptr; item = item->next) {
    if (GTK_IS_MESSAGE_DIALOG(item->data) && item->data != other && gtk_widget_get_visible(GTK_WIDGET(item->data))) {
      found = GTK_MESSAGE_DIALOG(item->data);
    }
  }
  g_list_free(windows);
  return found;
}
