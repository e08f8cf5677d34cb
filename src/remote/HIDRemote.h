#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <glib.h>

#include "HIDRemoteConsoleSession.h"
#include "HIDRemoteDelegate.h"
#include "HIDRemoteDeviceLayer.h"
#include "HIDRemoteNotificationCenter.h"
#include "HIDRemoteTimers.h"
#include "HIDRemoteTypes.h"

// The process-wide receiver of the infrared remote control: finds the
// receivers through the device layer, opens each one (shared, or seized for
// exclusive use), turns their element changes into button events for the
// delegate, and coordinates the exclusive use of the receiver with other
// applications through status, ping and retry messages.
//
// Everything runs on the thread that starts the remote (the main thread):
// device callbacks, timers and coordination messages arrive on its main
// context. No locks.
class HIDRemote : private HIDRemoteDeviceLayer::Listener {
 public:
  // The process-wide remote over the Linux device layer and the session bus,
  // made on first use and never destroyed.
  static HIDRemote* sharedHIDRemote();

  // A remote over the given layers (tests pass fakes); it does not own them.
  // pid stands for this process in coordination messages. Timers run on the
  // starting thread's main context unless a timer queue is given. With a
  // console session, a receiver seized in mode 2 or 3 is given up while the
  // session is in the background and taken again when it is back at the
  // console (when the workaround, enableSecureEventInputWorkaround, is on).
  HIDRemote(HIDRemoteDeviceLayer* devices, HIDRemoteNotificationCenter* notifications, pid_t pid,
            std::string applicationIdentifier, HIDRemoteTimers* timers = nullptr,
            HIDRemoteConsoleSession* session = nullptr);
  ~HIDRemote();

  HIDRemote(const HIDRemote&) = delete;
  HIDRemote& operator=(const HIDRemote&) = delete;

  // The third-party driver of another platform does not exist here.
  static bool isCandelairInstalled() { return false; }
  static bool isCandelairInstallationRequiredForRemoteMode(int mode) { return false; }

  // Starts in mode 1, 2 or 3. False when already started, for mode 0 or any
  // other mode, or when the devices cannot be watched.
  bool startRemoteControl(int mode);
  void stopRemoteControl();
  bool isStarted() const { return mode_ != kHIDRemoteModeNone; }
  int startedInMode() const { return mode_; }
  unsigned activeRemoteControlCount() const { return static_cast<unsigned>(devices_.size()); }
  bool isStopping() const { return isStopping_; }
  bool isApplicationTerminating() const { return applicationIsTerminating_; }

  // The application's activation, from the shell's main window.
  void applicationDidBecomeActive();
  void applicationWillResignActive();
  void applicationWillTerminate();

  HIDRemoteDelegate* delegate() const { return delegate_; }
  void setDelegate(HIDRemoteDelegate* delegate) { delegate_ = delegate; }
  // The buttons this application leaves to others: advertised, not filtered.
  const std::vector<int64_t>& unusedButtonCodes() const { return unusedButtonCodes_; }
  void setUnusedButtonCodes(const std::vector<int64_t>& codes);
  bool simulateHoldEvents() const { return simulateHoldEvents_; }
  void setSimulateHoldEvents(bool value) { simulateHoldEvents_ = value; }
  int32_t lastSeenRemoteControlID() const { return lastSeenRemoteID_; }
  int32_t lastSeenModel() const { return lastSeenModel_; }
  void setLastSeenModel(int32_t model) { lastSeenModel_ = model; }
  bool enableSecureEventInputWorkaround() const { return secureEventInputWorkAround_; }
  void setEnableSecureEventInputWorkaround(bool value) { secureEventInputWorkAround_ = value; }
  bool exclusiveLockLendingEnabled() const { return exclusiveLockLending_; }
  void setExclusiveLockLendingEnabled(bool value);
  bool sendExclusiveResourceReuseNotification() const { return sendExclusiveResourceReuseNotification_; }
  void setSendExclusiveResourceReuseNotification(bool value) { sendExclusiveResourceReuseNotification_ = value; }
  bool sendStatusNotifications() const { return sendStatusNotifications_; }
  void setSendStatusNotifications(bool value) { sendStatusNotifications_ = value; }
  // The highest aluminium-remote support level among the set-up devices.
  int64_t aluminiumRemoteSystemSupportLevel() const;

 private:
  using Attributes = std::shared_ptr<HIDRemoteHardwareAttributes>;

  // Device layer callbacks.
  void serviceMatched(const HIDRemoteService& service) override;
  void serviceTerminated(unsigned number) override;
  void queueHasEvents(unsigned number) override;

  // Devices.
  bool prematchService(const HIDRemoteService& service);
  bool setupService(const HIDRemoteService& service);
  void failSetup(unsigned number, int32_t status, int internalErrorCode, bool opened);
  void destructService(unsigned number);

  // Button events.
  void hidEventFor(unsigned number);
  void releaseLastButton(const Attributes& attributes);
  // Left, right, centre or menu, still down: released and pressed again as held, once.
  void buttonHeld(int32_t code, const Attributes& attributes);
  void handleButtonCode(int32_t code, bool isPressed, const Attributes& attributes);
  void simulateHoldEvent(const Attributes& attributes);
  void sendButtonCode(int32_t code, bool isPressed, const Attributes& attributes);
  void cancelHoldTimer(HIDRemoteHardwareAttributes& attributes);

  // Coordination.
  void postStatusWithAction(const std::string& action);
  HIDRemoteInfo retryInfo() const;
  void handleNotification(const HIDRemoteNotificationCenter::Notification& notification);
  void handleRetry(const HIDRemoteNotificationCenter::Notification& notification);
  void handleStatus(const HIDRemoteNotificationCenter::Notification& notification);
  void restart();

  void cancelRecoveryTimer();
  void delayedAutoRecovery();
  void consoleSessionChanged(bool active);

  std::unique_ptr<HIDRemoteTimers> ownTimers_;
  HIDRemoteTimers* timers_;
  HIDRemoteDeviceLayer* deviceLayer_;
  HIDRemoteNotificationCenter* notifications_;
  HIDRemoteConsoleSession* consoleSession_;
  bool watchingConsoleSession_ = false;
  int consoleRecoverMode_ = kHIDRemoteModeNone;  // the mode given up while the session is in the background
  pid_t pid_;
  std::string pidString_;
  std::string applicationIdentifier_;
  std::vector<unsigned> observers_;
  unsigned statusObserver_ = 0;

  std::map<unsigned, Attributes> devices_;  // by service number; only while started
  bool watching_ = false;
  int mode_ = kHIDRemoteModeNone;
  bool autoRecover_ = false;
  unsigned autoRecoveryTimer_ = 0;
  HIDRemoteDelegate* delegate_ = nullptr;
  int32_t lastSeenRemoteID_ = -1;
  int32_t lastSeenModel_ = 0;
  int32_t lastSeenModelRemoteID_ = 0;
  std::vector<int64_t> unusedButtonCodes_;
  bool simulateHoldEvents_ = true;
  bool secureEventInputWorkAround_ = true;
  bool exclusiveLockLending_ = false;
  bool sendExclusiveResourceReuseNotification_ = true;
  std::optional<int64_t> waitForReturnByPID_;
  std::optional<int64_t> returnToPID_;
  bool isRestarting_ = false;
  bool sendStatusNotifications_ = true;
  bool applicationIsTerminating_ = false;
  bool isStopping_ = false;
};

// The button code of an evdev key code as the receiver's kernel driver
// ("appleir", "rc-core") sends it; 0 for keys the remote does not use.
int32_t HIDRemoteButtonCodeForKey(const std::string& driver, uint32_t keyCode);
