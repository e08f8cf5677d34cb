#include "SleepWatch.h"

#include "ShellTrace.h"

SleepWatch::SleepWatch() : cancellable_(g_cancellable_new()) {
  // Asked without waiting: a missing system bus must not hold up the start.
  g_bus_get(G_BUS_TYPE_SYSTEM, cancellable_, onBus, this);
}

SleepWatch::~SleepWatch() {
  g_cancellable_cancel(cancellable_);
  g_object_unref(cancellable_);
  if (bus_ != nullptr) {
    g_dbus_connection_signal_unsubscribe(bus_, subscription_);
    g_object_unref(bus_);
  }
}

void SleepWatch::onBus(GObject*, GAsyncResult* result, gpointer data) {
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_finish(result, &error);
  if (bus == nullptr) {
    // Cancelled means the watch is gone: do not touch it.
    if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
      shellTrace("SleepWatch::onBus", std::string("no system bus, sleep and wake are not noted: ") + error->message);
    }
    g_error_free(error);
    return;
  }
  auto* self = static_cast<SleepWatch*>(data);
  self->bus_ = bus;
  self->subscription_ = g_dbus_connection_signal_subscribe(
      bus, "org.freedesktop.login1", "org.freedesktop.login1.Manager", "PrepareForSleep", "/org/freedesktop/login1",
      nullptr, G_DBUS_SIGNAL_FLAGS_NONE, onSignal, self, nullptr);
}

void SleepWatch::onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                          GVariant* parameters, gpointer) {
  if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) return;
  gboolean sleeping = FALSE;
  g_variant_get(parameters, "(b)", &sleeping);
  if (sleeping) {
    applicationWillEnterSleepMode();
  } else {
    applicationDidWakeUp();
  }
}

void SleepWatch::applicationWillEnterSleepMode() {
  shellTrace("SleepWatch::applicationWillEnterSleepMode", "application enter sleep mode");
}

void SleepWatch::applicationDidWakeUp() {
  shellTrace("SleepWatch::applicationDidWakeUp", "application quit sleep mode");
}
