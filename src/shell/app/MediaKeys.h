// The keyboard's media keys for the player page: play/pause, next and
// previous, taken by the media-key tap while the application is entitled to
// them and sent into the page as keyboard shortcuts. The tap is started only
// where a global tap is usable ("Media keys unsupported" in the traces
// otherwise). Each window of ours that becomes active brings the application
// to the front for the tap, which then claims the keys again. What the core's
// sounds do (playing, paused, stopped) is followed, read four times a second,
// for the desktop's list of players.
//
// Threads: main thread.
#pragma once

#include <memory>

#include "ApplicationActivity.h"
#include "SPMediaKeyTap.h"

class MediaKeys : public SPMediaKeyTapDelegate {
 public:
  // Follows the windows' activation through activity (not owned; outlives
  // this) when given.
  explicit MediaKeys(ApplicationActivity* activity = nullptr);
  ~MediaKeys() override;

  void mediaKeyTapReceivedMediaKeyEvent(SPMediaKeyTap* tap, const SPMediaKeyEvent& event) override;

 private:
  static gboolean followPlayback(gpointer self);

  std::unique_ptr<SPMediaKeyTap> mediaKeyTap_;
  ApplicationActivity* activity_;
  unsigned windowHandler_ = 0;
  guint playbackWatch_ = 0;
};
