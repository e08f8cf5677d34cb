#pragma once

#include <gio/gio.h>
#include <sys/types.h>

#include <string>

#include "HIDRemoteConsoleSession.h"

// This process's login session as logind reports it on the system bus: the
// session ($XDG_SESSION_ID, else the one of this process) and its "Active"
// property, followed through PropertiesChanged. Every call is made without
// waiting; a missing system bus, logind or session is written to the system
// log once and leaves the session taken as active.
class HIDRemoteLogindSession : public HIDRemoteConsoleSession {
 public:
  // On the given bus connection (a reference is taken), or on the system bus.
  explicit HIDRemoteLogindSession(GDBusConnection* connection = nullptr);
  ~HIDRemoteLogindSession() override;
  HIDRemoteLogindSession(const HIDRemoteLogindSession&) = delete;
  HIDRemoteLogindSession& operator=(const HIDRemoteLogindSession&) = delete;

  void startWatching(ActiveHandler changed) override;
  void stopWatching() override;

 private:
  void findSession();
  void watchSession(const std::string& path);
  void readActive(const std::string& path);
  void activeIs(bool active);
  void logFailure(const char* step, const GError* error);
  static GVariant* answerOf(GObject* connection, GAsyncResult* result, gpointer self, const char* step);
  static void busReady(GObject*, GAsyncResult* result, gpointer self);
  static void sessionFound(GObject* connection, GAsyncResult* result, gpointer self);
  static void activeRead(GObject* connection, GAsyncResult* result, gpointer self);
  static void propertiesChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                                GVariant* parameters, gpointer self);

  GDBusConnection* connection_ = nullptr;
  GCancellable* cancellable_ = nullptr;  // while watching
  guint subscription_ = 0;
  ActiveHandler changed_;
  bool active_ = true;
  bool failureLogged_ = false;
};
