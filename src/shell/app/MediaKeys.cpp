#include "MediaKeys.h"

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

}  // namespace

MediaKeys::MediaKeys() {
  mediaKeyTap_ = std::make_unique<SPMediaKeyTap>(this, preferences);
  if (SPMediaKeyTap::usesGlobalMediaKeyTap(preferences())) {
    mediaKeyTap_->startWatchingMediaKeys();
  } else {
    shellTrace("MediaKeys::MediaKeys", "Media keys unsupported");
  }
}

MediaKeys::~MediaKeys() { mediaKeyTap_->setDelegate(nullptr); }

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
