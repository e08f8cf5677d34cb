#include "VeloraController.h"

#include <cerrno>

#include "Binding.h"
#include "HIDRemote.h"
#include "PageCallback.h"
#include "PageChannelProtocol.h"
#include "PagePublication.h"
#include "RemoteAccessAlert.h"
#include "VLLogger.h"
#include "ShellTrace.h"
#include "VeloraICI.h"

#ifndef VELORA_VERSION
#define VELORA_VERSION "0"
#endif
#ifndef VELORA_BUILD_NUMBER
#define VELORA_BUILD_NUMBER "0"
#endif

namespace {

// The remote is set up a moment after start-up, once the window exists.
constexpr guint kRemoteControlDelayMs = 1000;
// The buttons this application does not use: up, down, centre and menu, and
// every held button (left, right and play are its own).
const std::vector<int64_t> kUnusedButtonCodes = {1,       2,       5,       6,       0x10001, 0x10002,
                                                 0x10003, 0x10004, 0x10005, 0x10006, 0x10007};

}  // namespace

VeloraController::VeloraController() {
  BridgeHost::install(this);
  g_timeout_add(
      kRemoteControlDelayMs,
      [](gpointer self) -> gboolean {
        static_cast<VeloraController*>(self)->initRemoteControl();
        return G_SOURCE_REMOVE;
      },
      this);
}

VeloraController::~VeloraController() {
  stopRemoteControl();
  remote()->setDelegate(nullptr);
}

VeloraController& VeloraController::instance() {
  static VeloraController* controller = new VeloraController();
  return *controller;
}

std::string VeloraController::getVeloraDesktopVersion() {
  return std::string(VELORA_VERSION) + " (" + VELORA_BUILD_NUMBER + ")";
}

void VeloraController::logError(const std::string& message) {
  VL_LOG_ERROR(message);
}
void VeloraController::logWarning(const std::string& message) {
  VL_LOG_WARN(message);
}
void VeloraController::logInfo(const std::string& message) {
  VL_LOG_INFO(message);
}
void VeloraController::logDebug(const std::string& message) {
  VL_LOG_DEBUG(message);
}

const char* VeloraController::consoleLevelName(unsigned channelLevel) {
  switch (channelLevel) {
    case PageChannelProtocol::kConsoleLog:
    case PageChannelProtocol::kConsoleInfo: return "LogMessageLevel";
    case PageChannelProtocol::kConsoleWarning: return "WarningMessageLevel";
    case PageChannelProtocol::kConsoleError: return "ErrorMessageLevel";
    default: return "DebugMessageLevel";
  }
}

void VeloraController::logMessage(const ConsoleMessage& message) {
  std::string text = message.message;
  if (!message.sourceURL.empty()) text += " (" + message.sourceURL + ":" + std::to_string(message.lineNumber) + ")";
  if (message.level == "LogMessageLevel") {
    VL_LOG_INFO(text);
  } else if (message.level == "WarningMessageLevel") {
    VL_LOG_WARN(text);
  } else if (message.level == "ErrorMessageLevel") {
    VL_LOG_ERROR(text);
  } else {
    VL_LOG_TRACE(text);
  }
}

bool VeloraController::initBinding() {
  coreRunning_ = Binding::instance()->init();
  return coreRunning_;
}

bool VeloraController::cleanBinding() {
  coreRunning_ = false;
  return Binding::instance()->clean();
}

bool VeloraController::isJSReady() {
  return Binding::instance()->isJSReady();
}

void VeloraController::requestTermination() {
  if (terminate_) terminate_();
}

void VeloraController::sendLogForUserId(const std::string& userId, const std::string& login,
                                        const std::string& version) {
  if (!logUploader_) {
    logWarning("VeloraController::sendLogForUserId no log uploader");
    return;
  }
  logUploader_(userId, login, version);
}

void VeloraController::executeMethod(const std::string& name, const std::vector<PageValue>& arguments) {
  std::shared_ptr<PagePublication> page = ici_ != nullptr ? ici_->publication() : nullptr;
  if (page == nullptr || !page->isActive()) return;
  page->callMethod(name, arguments);
}

void VeloraController::executeCallback(PageCallback* callback, const PageValue& value) {
  if (callback == nullptr || !callback->isFunction()) {
    logDebug("VeloraController::executeCallback Given callback is not a function...");
  } else {
    callback->call(value);
  }
  delete callback;
}

HIDRemote* VeloraController::remote() {
  if (remote_ == nullptr) remote_ = HIDRemote::sharedHIDRemote();
  return remote_;
}

void VeloraController::initRemoteControl() {
  remote()->setDelegate(this);
  startRemoteControl();  // the buttons are declared whatever the start says
  remote()->setUnusedButtonCodes(kUnusedButtonCodes);
}

bool VeloraController::startRemoteControl() {
  // The remote drivers of other platforms never need installing here, so no
  // offer to install one is made.
  if (HIDRemote::isCandelairInstallationRequiredForRemoteMode(kHIDRemoteModeExclusiveAuto)) return false;
  receiverRefused_ = false;
  if (!remote()->startRemoteControl(kHIDRemoteModeExclusiveAuto)) {
    shellTrace("VeloraController::startRemoteControl", "Couldn't start HIDRemote");
    return false;
  }
  // The receivers present were set up during the start. One is there but the
  // user may not read it: the remote cannot work until access is given.
  if (!receiverRefused_ || remote()->activeRemoteControlCount() > 0) return true;
  remote()->stopRemoteControl();
  shellTrace("VeloraController::startRemoteControl", "no access to the remote control's receiver");
  if (!remoteAccessOffered_) {
    remoteAccessOffered_ = true;
    GApplication* application = g_application_get_default();
    GtkWindow* parent = application != nullptr && GTK_IS_APPLICATION(application)
                            ? gtk_application_get_active_window(GTK_APPLICATION(application))
                            : nullptr;
    RemoteAccessAlert::run(parent, helpOpener_);
  }
  return false;
}

void VeloraController::failedNewHardware(HIDRemote*, const HIDRemoteError* error) {
  if (error != nullptr && (error->code == EACCES || error->code == EPERM)) receiverRefused_ = true;
}

void VeloraController::stopRemoteControl() {
  remote()->stopRemoteControl();
}

void VeloraController::eventWithButton(HIDRemote*, int32_t buttonCode, bool isPressed,
                                       const HIDRemoteHardwareAttributes&) {
  if (!isPressed) return;
  switch (buttonCode) {
    case kHIDRemoteButtonCodePlay: playTrackButtonPressed(); break;
    case kHIDRemoteButtonCodeRight: nextTrackButtonPressed(); break;
    case kHIDRemoteButtonCodeLeft: previousTrackButtonPressed(); break;
    default: break;
  }
}

void VeloraController::playTrackButtonPressed() {
  if (ici_ != nullptr) ici_->sendPlayTrackSignal();
}

void VeloraController::nextTrackButtonPressed() {
  if (ici_ != nullptr) ici_->sendPlayNextTrackSignal();
}

void VeloraController::previousTrackButtonPressed() {
  if (ici_ != nullptr) ici_->sendPlayPreviousTrackSignal();
}

void VeloraController::openPreferences() {
  if (ici_ != nullptr) ici_->openPreferences();
}
