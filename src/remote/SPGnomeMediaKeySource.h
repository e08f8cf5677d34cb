#pragma once

#include <gio/gio.h>

#include <string>

#include "SPMediaKeySource.h"

// The media keys from GNOME's settings daemon, which holds them for the whole
// session and hands each press to the player that asked for them last: we
// ask (GrabMediaPlayerKeys with our application name) when enabled and each
// time this application comes to the front, give them back
// (ReleaseMediaPlayerKeys) when disabled, and hear the presses in its
// MediaPlayerKeyPressed signal. The daemon reports presses only: each becomes
// a key-down followed by a key-up.
//
// The daemon's name is watched: when it leaves the bus (the daemon ended or
// restarts, forgetting who asked for the keys) the keys are reported held
// elsewhere, and when it returns they are asked for again at once.
//
// Calls are made without waiting; their answers and the signal arrive on the
// tap thread's main context.
class SPGnomeMediaKeySource : public SPMediaKeySource {
 public:
  static const char* const kBusName;     // "org.gnome.SettingsDaemon.MediaKeys"
  static const char* const kObjectPath;  // "/org/gnome/SettingsDaemon/MediaKeys"
  static const char* const kInterface;   // "org.gnome.SettingsDaemon.MediaKeys"

  // On the given bus connection (a reference is taken), or on the session bus.
  explicit SPGnomeMediaKeySource(std::string applicationName, GDBusConnection* connection = nullptr);
  ~SPGnomeMediaKeySource() override;

  // False when there is no session bus or no daemon on it.
  bool open(KeyHandler keys, StateHandler states) override;
  void setEnabled(bool enabled) override;
  void applicationCameToFront() override;
  bool routesKeysForTheSession() const override { return true; }
  void close() override;

 private:
  void grab();
  void call(const char* method, GVariant* parameters, GAsyncReadyCallback done);
  static void grabAnswered(GObject* connection, GAsyncResult* result, gpointer self);
  static void serviceAppeared(GDBusConnection*, const gchar*, const gchar*, gpointer self);
  static void serviceVanished(GDBusConnection*, const gchar*, gpointer self);
  static void keyPressed(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
                         gpointer self);

  std::string applicationName_;
  GDBusConnection* connection_ = nullptr;
  GCancellable* cancellable_ = nullptr;  // cancels answers still on their way at close
  guint subscription_ = 0;
  guint nameWatch_ = 0;
  bool serviceGone_ = false;  // the daemon's name left the bus since it was last seen
  bool enabled_ = false;
  KeyHandler keys_;
  StateHandler states_;
};
