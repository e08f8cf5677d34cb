#include "MediaKeys.h"

#include "ShellTrace.h"
#include "VLAudioInterface.h"
#include "VLPlatformFactory.h"
#include "VLPlayer.h"
#include "VLSettingHelper.h"
#include "VeloraController.h"

namespace {

SPMediaKeyPreferences preferences() {
  VLSettingHelper* settings = VLPlatformFactory::instance()->getSettingHelper();
  return SPMediaKeyPreferences::fromStrings(settings->getValue("SPIgnoreMediaKeys", ""),
                                            settings->getValue("SPApplicationsNeedingMediaKeys", ""));
}

// Our windows' WM_CLASS: the program's name and class.
std::string ownWindowClass() {
  const char* name = g_get_prgname();
  return std::string(name ? name : "") + "\n" + gdk_get_program_class();
}

const guint kPlaybackPollMs = 250;

// What the core's sounds do now. Any thread: the media player's Play and
// Pause read it on the tap thread when they are acted on.
SPMediaKeySource::PlaybackStatus currentPlaybackStatus() {
  std::shared_ptr<VLAudioInterface> audio = VLPlayer::instance()->holdAudioInterface();
  switch (audio ? audio->getPlaybackState() : VLAudioInterface::PlaybackStopped) {
    case VLAudioInterface::PlaybackPlaying: return SPMediaKeySource::kPlaybackPlaying;
    case VLAudioInterface::PlaybackPaused: return SPMediaKeySource::kPlaybackPaused;
    case VLAudioInterface::PlaybackStopped: break;
  }
  return SPMediaKeySource::kPlaybackStopped;
}

}  // namespace

MediaKeys::MediaKeys(ApplicationActivity* activity) : activity_(activity) {
  mediaKeyTap_ = std::make_unique<SPMediaKeyTap>(this, preferences);
  mediaKeyTap_->setPlaybackStatusReader(currentPlaybackStatus);
  if (SPMediaKeyTap::usesGlobalMediaKeyTap(preferences())) {
    mediaKeyTap_->startWatchingMediaKeys();
  } else {
    shellTrace("MediaKeys::MediaKeys", "Media keys unsupported");
  }
  if (activity_) {
    windowHandler_ =
        activity_->addWindowActivatedHandler([this] { mediaKeyTap_->applicationCameToFront(ownWindowClass()); });
  }
  playbackWatch_ = g_timeout_add(kPlaybackPollMs, followPlayback, this);
}

MediaKeys::~MediaKeys() {
  g_source_remove(playbackWatch_);
  if (activity_) activity_->removeHandler(windowHandler_);
  mediaKeyTap_->setDelegate(nullptr);
}

void MediaKeys::mediaKeyTapReceivedMediaKeyEvent(SPMediaKeyTap*, const SPMediaKeyEvent& event) {
  if (event.type != SPMediaKeyEvent::kType || event.subtype != SPMediaKeyEvent::kSubtype) {
    VeloraController::instance().logError("Unexpected NSEvent in mediaKeyTap:receivedMediaKeyEvent:");
    return;
  }
  if (!event.isKeyDown()) return;
  VeloraController& controller = VeloraController::instance();
  switch (event.keyCode()) {
    case SPMediaKeyEvent::kKeyPlay: controller.playTrackButtonPressed(); break;
    case SPMediaKeyEvent::kKeyNext: controller.nextTrackButtonPressed(); break;
    case SPMediaKeyEvent::kKeyPrevious: controller.previousTrackButtonPressed(); break;
    default: break;
  }
}

gboolean MediaKeys::followPlayback(gpointer self) {
  static_cast<MediaKeys*>(self)->mediaKeyTap_->setPlaybackStatus(currentPlaybackStatus());
  return G_SOURCE_CONTINUE;
}
