#include "VeloraController.h"

#include "Binding.h"
#include "PageCallback.h"
#include "PageChannelProtocol.h"
#include "PagePublication.h"
#include "VLLogger.h"
#include "VeloraICI.h"

#ifndef VELORA_VERSION
#define VELORA_VERSION "0"
#endif
#ifndef VELORA_BUILD_NUMBER
#define VELORA_BUILD_NUMBER "0"
#endif

VeloraController& VeloraController::instance() {
  static VeloraController* controller = new VeloraController();
  return *controller;
}

std::string VeloraController::getVeloraDesktopVersion() {
  return std::string(VELORA_VERSION) + " (" + VELORA_BUILD_NUMBER + ")";
}

void VeloraController::logError(const std::string& message) { VL_LOG_ERROR(message); }
void VeloraController::logWarning(const std::string& message) { VL_LOG_WARN(message); }
void VeloraController::logInfo(const std::string& message) { VL_LOG_INFO(message); }
void VeloraController::logDebug(const std::string& message) { VL_LOG_DEBUG(message); }

const char* VeloraController::consoleLevelName(unsigned channelLevel) {
  switch (channelLevel) {
    case PageChannelProtocol::kConsoleLog:
    case PageChannelProtocol::kConsoleInfo:
      return "LogMessageLevel";
    case PageChannelProtocol::kConsoleWarning:
      return "WarningMessageLevel";
    case PageChannelProtocol::kConsoleError:
      return "ErrorMessageLevel";
    default:
      return "DebugMessageLevel";
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

bool VeloraController::isJSReady() { return Binding::instance()->isJSReady(); }

void VeloraController::requestTermination() {
  if (terminate_) terminate_();
}

void VeloraController::sendLogForUserId(const std::string& userId, const std::string& login, const std::string& version) {
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
