// Notes the machine's sleep and wake in the shell's traces ("application
// enter sleep mode", "application quit sleep mode"): logind's PrepareForSleep
// signal on the system bus. Without a system bus or logind there is nothing
// to note.
//
// Threads: main thread.
#pragma once

#include <gio/gio.h>

class SleepWatch {
 public:
  SleepWatch();
  ~SleepWatch();
  SleepWatch(const SleepWatch&) = delete;
  SleepWatch& operator=(const SleepWatch&) = delete;

  static void applicationWillEnterSleepMode();
  static void applicationDidWakeUp();

 private:
  static void onBus(GObject* source, GAsyncResult* result, gpointer self);
  static void onSignal(GDBusConnection* connection, const gchar* sender, const gchar* path, const gchar* interface,
                       const gchar* signal, GVariant* parameters, gpointer self);

  GCancellable* cancellable_;
  GDBusConnection* bus_ = nullptr;
  guint subscription_ = 0;
};
