// The keyboard's media keys for the player page: play/pause, next and
// previous, taken by the media-key tap while the application is entitled to
// them and sent into the page as keyboard shortcuts. The tap is started only
// where a global tap is usable ("Media keys unsupported" in the traces
// otherwise).
//
// Threads: main thread.
#pragma once

#include <memory>

#include "SPMediaKeyTap.h"

class MediaKeys : public SPMediaKeyTapDelegate {
 public:
  MediaKeys();
  ~MediaKeys() override;

  void mediaKeyTapReceivedMediaKeyEvent(SPMediaKeyTap* tap, const SPMediaKeyEvent& event) override;

 private:
  std::unique_ptr<SPMediaKeyTap> mediaKeyTap_;
};
