#include "MediaKeys.h"

#include "Binding.h"
#include "ShellTrace.h"
#include "VLPlatformFactory.h"
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

}  // namespace

MediaKeys::MediaKeys(ApplicationActivity* activity) : activity_(activity) {
  mediaKeyTap_ = std::make_unique<SPMediaKeyTap>(this, preferences);
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
  SPMediaKeySource::PlaybackStatus status = SPMediaKeySource::kPlaybackStopped;
  switch (Binding::instance()->getPlaybackState()) {
    case VLAudioInterface::PlaybackPlaying: status = SPMediaKeySource::kPlaybackPlaying; break;
    case VLAudioInterface::PlaybackPaused: status = SPMediaKeySource::kPlaybackPaused; break;
    case VLAudioInterface::PlaybackStopped: break;
  }
  static_cast<MediaKeys*>(self)->mediaKeyTap_->setPlaybackStatus(status);
  return G_SOURCE_CONTINUE;
}
