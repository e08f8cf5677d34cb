#pragma once

#include <gio/gio.h>

#include <string>

#include "SPMediaKeySource.h"

// The media keys as a media player on the session bus (the MPRIS player
// interface), for desktops that route the keys to the player they choose: the
// player "org.mpris.MediaPlayer2.<name>" is there while enabled and gone when
// disabled. Only what routing keys needs is offered: PlayPause, Play and Pause
// (the page knows only a play/pause toggle), Next, Previous, Stop (taken, no
// effect), CanControl, PlaybackStatus (as set, announced with
// PropertiesChanged; desktops send the keys to the player that plays) and the
// other required properties; no track metadata.
// Each call becomes a key-down followed by a key-up.
//
// Method calls arrive on the tap thread's main context.
class SPMprisMediaKeySource : public SPMediaKeySource {
 public:
  static const char* const kObjectPath;  // "/org/mpris/MediaPlayer2"

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
  void close() override;

  // The bus name owned while enabled; "org.mpris.MediaPlayer2.<name>", or
  // with ".instance<pid>" when another process holds that one.
  const std::string& busName() const { return ownedName_; }

 private:
  bool ownName();
  void releaseName();
  static void methodCalled(GDBusConnection*, const gchar*, const gchar*, const gchar* interface, const gchar* method,
                           GVariant*, GDBusMethodInvocation* invocation, gpointer self);
  static GVariant* propertyRead(GDBusConnection*, const gchar*, const gchar*, const gchar* interface,
                                const gchar* property, GError**, gpointer self);

  std::string playerName_;
  std::string identity_;
  std::string ownedName_;
  GDBusConnection* connection_ = nullptr;
  guint rootRegistration_ = 0;
  guint playerRegistration_ = 0;
  bool enabled_ = false;
  PlaybackStatus playbackStatus_ = kPlaybackStopped;
  KeyHandler keys_;
  StateHandler states_;
};
