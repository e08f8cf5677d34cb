#pragma once

#include <gio/gio.h>

#include <string>
#include <vector>

#include "SPMediaKeySource.h"

// The media keys as a media player on the session bus (the MPRIS player
// interface), for desktops that route the keys to the player they choose: the
// player "org.mpris.MediaPlayer2.<name>" is there while enabled and gone when
// disabled. Only what routing keys needs is offered: PlayPause, Play and Pause
// (the page knows only a play/pause toggle: Play toggles only while nothing
// plays and Pause only while a track plays, as the status reader says when
// the call is acted on, or PlaybackStatus without one, since desktops send
// Pause on lock and suspend whatever plays), Next, Previous,
// Stop (taken, no effect), CanControl, PlaybackStatus (as set, announced with
// PropertiesChanged; desktops send the keys to the player that plays) and the
// other required properties; no track metadata.
// Each call acted on becomes a key-down followed by a key-up. Calls are
// coalesced: after one is acted on, those that come within kCoalesceMs wait,
// each kind once (the later of Play and Pause wins), and are acted on in the
// order they came when that time is up; so a program that calls without end
// reaches the page a few times a second, not once per call.
//
// Method calls arrive on the tap thread's main context.
class SPMprisMediaKeySource : public SPMediaKeySource {
 public:
  static const char* const kObjectPath;  // "/org/mpris/MediaPlayer2"
  static const unsigned kCoalesceMs = 100;

  // applicationName gives the bus name's last element; identity is the name
  // shown to the user (the application's name when empty). On the given bus
  // connection (a reference is taken), or on the session bus.
  explicit SPMprisMediaKeySource(std::string applicationName, std::string identity = "",
                                 GDBusConnection* connection = nullptr);
  ~SPMprisMediaKeySource() override;

  // False when there is no session bus.
  bool open(KeyHandler keys, StateHandler states) override;
  void setEnabled(bool enabled) override;
  void setPlaybackStatus(PlaybackStatus status) override;
  void setPlaybackStatusReader(PlaybackStatusReader reader) override { statusReader_ = std::move(reader); }
  void close() override;

  // The bus name owned while enabled; "org.mpris.MediaPlayer2.<name>", or
  // with ".instance<pid>" when another process holds that one.
  const std::string& busName() const { return ownedName_; }

 private:
  // What a call of the player interface asks for.
  enum Action { kNoAction, kToggle, kPlay, kPause, kNext, kPrevious };

  bool ownName();
  void releaseName();
  static void methodCalled(GDBusConnection*, const gchar*, const gchar*, const gchar* interface, const gchar* method,
                           GVariant*, GDBusMethodInvocation* invocation, gpointer self);
  static GVariant* propertyRead(GDBusConnection*, const gchar*, const gchar*, const gchar* interface,
                                const gchar* property, GError**, gpointer self);
  void request(Action action);
  void perform(Action action);
  static gboolean performWaiting(gpointer self);
  void dropWaiting();

  std::string playerName_;
  std::string identity_;
  std::string ownedName_;
  GDBusConnection* connection_ = nullptr;
  guint rootRegistration_ = 0;
  guint playerRegistration_ = 0;
  bool enabled_ = false;
  PlaybackStatus playbackStatus_ = kPlaybackStopped;
  PlaybackStatusReader statusReader_;  // what Play and Pause act on; playbackStatus_ without one
  KeyHandler keys_;
  StateHandler states_;
  GMainContext* context_ = nullptr;  // the tap thread's, while open
  GSource* coalescing_ = nullptr;    // runs while calls are coalesced
  std::vector<Action> waiting_;      // in the order they came, each once
};
