// The shell's hub between the core and the page: starts and stops the core
// (through Binding), tells whether the page's scripts are ready, keeps the
// page's VeloraICI object, the terminated flag and the version text, carries
// every core-to-page call into the page, and is the shell's log front-end.
//
// Threads: main thread only. Binding reaches it from the worker thread only
// through MainLoopQueue.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BridgeHost.h"
#include "HIDRemoteDelegate.h"
#include "PageValue.h"

class PageCallback;
class VeloraICI;

class VeloraController : public HIDRemoteDelegate, public BridgeHost {
 public:
  // The process-wide controller, made on first use, when it installs itself
  // as the bridge's host; never freed.
  static VeloraController& instance();
  // "short version (build)", for example "1.0.0 (1)".
  static std::string getVeloraDesktopVersion();
  std::string applicationVersion() override { return getVeloraDesktopVersion(); }

  // --- log front-end: into the core log, when it is set up --------------
  // Callers pass "Class::method message".
  void logError(const std::string& message);
  void logWarning(const std::string& message);
  void logInfo(const std::string& message);
  void logDebug(const std::string& message);

  // One message of the page's console. The level names those of the page's
  // console: "LogMessageLevel" is written at INFO, "WarningMessageLevel" at
  // WARN, "ErrorMessageLevel" at ERROR, any other at TRACE (not written by
  // the core log). A source address adds " (source:line)".
  struct ConsoleMessage {
    std::string level;
    std::string message;
    std::string sourceURL;  // empty: none
    unsigned lineNumber = 0;
  };
  void logMessage(const ConsoleMessage& message);
  // The console level name for a channel console level.
  static const char* consoleLevelName(unsigned channelLevel);

  // --- the core ------------------------------------------------------------
  // Binding::instance, then VLDesktop::init; its result is the core's.
  bool initBinding();
  // VLDesktop::clean.
  bool cleanBinding();
  // Whether the core holds the page ready.
  bool isJSReady();
  // Whether the core was started and not stopped since.
  bool isCoreRunning() const override { return coreRunning_; }

  // --- the page --------------------------------------------------------------
  void setIci(std::shared_ptr<VeloraICI> ici) { ici_ = std::move(ici); }
  const std::shared_ptr<VeloraICI>& ici() const { return ici_; }
  bool applicationTerminated() const { return applicationTerminated_; }
  void setApplicationTerminated(bool terminated) override { applicationTerminated_ = terminated; }
  // What asking the application to terminate does (set by the application).
  void setTerminateHandler(std::function<void()> handler) { terminate_ = std::move(handler); }
  void requestTermination() override;

  // The page asks for the log bundle to be sent; the uploader does it.
  using LogUploader =
      std::function<void(const std::string& userId, const std::string& login, const std::string& version)>;
  void setLogUploader(LogUploader uploader) { logUploader_ = std::move(uploader); }
  void sendLogForUserId(const std::string& userId, const std::string& login, const std::string& version) override;

  // Calls VeloraAPI[name](...arguments) in the current player page; nothing
  // happens when there is none, or it has no such method.
  void executeMethod(const std::string& name, const std::vector<PageValue>& arguments) override;
  // Calls the page callback once with the value and frees it; a callback that
  // is no function gets a debug line and no call.
  void executeCallback(PageCallback* callback, const PageValue& value) override;

  // --- the remote control and the media keys ------------------------------
  // Run one second after the controller is made: becomes the remote's
  // delegate, starts it and tells it which buttons this application leaves
  // to others.
  void initRemoteControl();
  // Starts the shared remote in mode 3 (exclusive while the application is
  // active); false, with a trace, when it cannot start. When a receiver is
  // there but none may be opened for lack of permission (and the controller
  // is the remote's delegate), the remote is stopped again, false returned,
  // and the user is offered, once per run, to set that access up
  // (RemoteAccessAlert, modal).
  bool startRemoteControl();
  void stopRemoteControl();
  // Play (7), right (4) and left (3) presses become the page's keyboard
  // shortcuts; releases and other buttons are ignored.
  void eventWithButton(HIDRemote* remote, int32_t buttonCode, bool isPressed,
                       const HIDRemoteHardwareAttributes& attributes) override;
  void failedNewHardware(HIDRemote* remote, const HIDRemoteError* error) override;
  // Into the page through the ICI object; nothing while it is not published.
  void playTrackButtonPressed();
  void nextTrackButtonPressed();
  void previousTrackButtonPressed();
  void openPreferences();
  // The remote the controller drives: the process-wide one unless a test set
  // another (before initRemoteControl).
  void setRemote(HIDRemote* remote) { remote_ = remote; }
  HIDRemote* remote();
  // Where the remote-access alert's help page opens; by default the
  // desktop's browser or help viewer.
  void setHelpOpener(std::function<void(const std::string&)> opener) { helpOpener_ = std::move(opener); }

 private:
  VeloraController();
  ~VeloraController() override;

  std::shared_ptr<VeloraICI> ici_;
  bool applicationTerminated_ = false;
  bool coreRunning_ = false;
  std::function<void()> terminate_;
  LogUploader logUploader_;
  HIDRemote* remote_ = nullptr;
  bool receiverRefused_ = false;  // a receiver's set-up failed for lack of permission
  bool remoteAccessOffered_ = false;
  std::function<void(const std::string&)> helpOpener_;
};
