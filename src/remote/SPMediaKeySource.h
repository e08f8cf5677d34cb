#pragma once

#include <functional>

#include "SPMediaKeyEvent.h"

// The platform's hold on the keyboard's play, next and previous keys, used on
// the tap thread only (the thread whose default main context is pushed when
// open is called): while enabled the keys are taken from every other
// application and reported here; while disabled they reach the system.
class SPMediaKeySource {
 public:
  using KeyHandler = std::function<void(const SPMediaKeyEvent&)>;

  // What the source holds, as it reports it.
  enum State {
    kKeysTaken,          // keys reach us
    kKeysGivenBack,      // disabled: the keys reach the system
    kKeysHeldElsewhere,  // enabled, but another application holds them; tried again
    kUnusable,           // the connection behind the source is gone for good
  };
  using StateHandler = std::function<void(State)>;

  // What the application plays, for sources that show it to the desktop.
  enum PlaybackStatus { kPlaybackStopped, kPlaybackPaused, kPlaybackPlaying };
  // Reads what the application plays at this moment; called on the tap thread.
  using PlaybackStatusReader = std::function<PlaybackStatus()>;

  virtual ~SPMediaKeySource() = default;

  // Connects and takes the keys; each change of state is reported on the tap
  // thread. False when this kind of source cannot work here (no display, no
  // bus, no desktop service); nothing is left open then.
  virtual bool open(KeyHandler keys, StateHandler states) = 0;
  // A descriptor that becomes readable when events wait (dispatch them), or
  // -1 when the source's events come through the thread's main context.
  virtual int fd() const { return -1; }
  virtual void dispatch() {}
  // Takes (true) or gives back (false) the keys.
  virtual void setEnabled(bool enabled) = 0;
  // What the application plays now; may be called before open, and is kept
  // across close and open.
  virtual void setPlaybackStatus(PlaybackStatus) {}
  // For sources whose calls act on what plays (the media player's Play and
  // Pause): read when a call is acted on, since what was set may be older
  // than the change that matters. May be called before open.
  virtual void setPlaybackStatusReader(PlaybackStatusReader) {}
  // This application came to the front: sources that hand the keys to the
  // front player claim them again.
  virtual void applicationCameToFront() {}
  // True for a desktop service that routes the keys for the whole session:
  // no other source is opened beside it.
  virtual bool routesKeysForTheSession() const { return false; }
  virtual void close() = 0;
};
