#include "HIDRemote.h"

#include <linux/input-event-codes.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "HIDRemoteDBusNotificationCenter.h"
#include "HIDRemoteEvdevLayer.h"
#include "HIDRemoteLogindSession.h"
#include "HIDRemoteMainContextTimers.h"

namespace {

// Drivers whose devices are remote receivers; nothing else (never a keyboard)
// is opened.
const std::set<std::string> kReceiverDrivers = {"appleir", "rc-core"};
// A receiver reports at least play, next and previous.
const size_t kMinimumButtons = 3;
const guint kHoldDelayMs = 700;
const guint kAutoRecoveryDelayMs = 100;

const char* const kGlobalObject = "global";

// Left, right, centre and menu have a code of their own for a held button.
// The receivers here send none: a button is held when the kernel repeats its
// key, or, for drivers that do not repeat, when it is still down after the
// hold delay. Up and down are held by the hold simulation instead.
bool isHoldableButton(int32_t code) {
  return code == kHIDRemoteButtonCodeLeft || code == kHIDRemoteButtonCodeRight || code == kHIDRemoteButtonCodeCenter ||
         code == kHIDRemoteButtonCodeMenu;
}

std::optional<int64_t> numberIn(const HIDRemoteInfo& info, const std::string& key) {
  auto it = info.find(key);
  if (it == info.end()) return std::nullopt;
  if (const int64_t* value = std::get_if<int64_t>(&it->second)) return *value;
  return std::nullopt;
}

std::optional<std::string> textIn(const HIDRemoteInfo& info, const std::string& key) {
  auto it = info.find(key);
  if (it == info.end()) return std::nullopt;
  if (const std::string* value = std::get_if<std::string>(&it->second)) return *value;
  return std::nullopt;
}

}  // namespace

int32_t HIDRemoteButtonCodeForKey(const std::string& driver, uint32_t keyCode) {
  if (driver == "appleir") {
    // The kernel's Apple IR driver: plus, minus, the ring's left and right
    // (AC Back and AC Forward), menu, play/pause (the white remote's centre
    // and the aluminium remote's play) and the aluminium remote's centre.
    switch (keyCode) {
      case KEY_VOLUMEUP: return kHIDRemoteButtonCodeUp;
      case KEY_VOLUMEDOWN: return kHIDRemoteButtonCodeDown;
      case KEY_BACK: return kHIDRemoteButtonCodeLeft;
      case KEY_FORWARD: return kHIDRemoteButtonCodeRight;
      case KEY_ENTER: return kHIDRemoteButtonCodeCenter;
      case KEY_MENU: return kHIDRemoteButtonCodeMenu;
      case KEY_PLAYPAUSE: return kHIDRemoteButtonCodePlay;
      default: return kHIDRemoteButtonCodeNone;
    }
  }
  // The IR receiver core's key maps: the media keys of the remote's map.
  switch (keyCode) {
    case KEY_VOLUMEUP: return kHIDRemoteButtonCodeUp;
    case KEY_VOLUMEDOWN: return kHIDRemoteButtonCodeDown;
    case KEY_PREVIOUSSONG:
    case KEY_PREVIOUS: return kHIDRemoteButtonCodeLeft;
    case KEY_NEXTSONG:
    case KEY_NEXT: return kHIDRemoteButtonCodeRight;
    case KEY_ENTER:
    case KEY_OK: return kHIDRemoteButtonCodeCenter;
    case KEY_MENU: return kHIDRemoteButtonCodeMenu;
    case KEY_PLAYPAUSE:
    case KEY_PLAY:
    case KEY_PAUSE: return kHIDRemoteButtonCodePlay;  // the page has one play/pause toggle
    default: return kHIDRemoteButtonCodeNone;
  }
}

HIDRemote* HIDRemote::sharedHIDRemote() {
  static HIDRemoteEvdevLayer* devices = new HIDRemoteEvdevLayer();
  static HIDRemoteDBusNotificationCenter* notifications = new HIDRemoteDBusNotificationCenter();
  static HIDRemoteLogindSession* session = new HIDRemoteLogindSession();
  static HIDRemote* remote =
      new HIDRemote(devices, notifications, getpid(), g_get_prgname() ? g_get_prgname() : "", nullptr, session);
  return remote;
}

HIDRemote::HIDRemote(HIDRemoteDeviceLayer* devices, HIDRemoteNotificationCenter* notifications, pid_t pid,
                     std::string applicationIdentifier, HIDRemoteTimers* timers, HIDRemoteConsoleSession* session)
    : ownTimers_(timers ? nullptr : std::make_unique<HIDRemoteMainContextTimers>()),
      timers_(timers ? timers : ownTimers_.get()),
      deviceLayer_(devices),
      notifications_(notifications),
      consoleSession_(session),
      pid_(pid),
      pidString_(std::to_string(pid)),
      applicationIdentifier_(std::move(applicationIdentifier)) {
  auto handler = [this](const HIDRemoteNotificationCenter::Notification& n) { handleNotification(n); };
  observers_.push_back(notifications_->observe(kHIDRemotePingNotification, "", true, handler));
  observers_.push_back(notifications_->observe(kHIDRemoteRetryNotification, kGlobalObject, false, handler));
  observers_.push_back(notifications_->observe(kHIDRemoteRetryNotification, pidString_, false, handler));
}

HIDRemote::~HIDRemote() {
  for (unsigned id : observers_) notifications_->removeObserver(id);
  observers_.clear();
  if (watchingConsoleSession_) consoleSession_->stopWatching();
  stopRemoteControl();
  setExclusiveLockLendingEnabled(false);
  cancelRecoveryTimer();
  delegate_ = nullptr;
}

// --- Start and stop -------------------------------------------------------

bool HIDRemote::startRemoteControl(int mode) {
  if (mode_ != kHIDRemoteModeNone) return false;
  // A mode the device set-up would refuse for every device is refused here.
  if (mode < kHIDRemoteModeShared || mode > kHIDRemoteModeExclusiveAuto) return false;
  mode_ = mode;  // the devices present now are set up in this mode
  if (!deviceLayer_->startWatching(this)) {
    mode_ = kHIDRemoteModeNone;  // never started: the stop posts nothing
    stopRemoteControl();
    return false;
  }
  watching_ = true;
  bool exclusive = mode == kHIDRemoteModeExclusive || mode == kHIDRemoteModeExclusiveAuto;
  if (exclusive && consoleSession_ && !watchingConsoleSession_) {
    // Watched from the first exclusive start on, also while stopped for the
    // session, so that its return to the console is heard.
    watchingConsoleSession_ = true;
    consoleSession_->startWatching([this](bool active) { consoleSessionChanged(active); });
  }
  postStatusWithAction("start");
  return true;
}

void HIDRemote::stopRemoteControl() {
  autoRecover_ = false;
  consoleRecoverMode_ = kHIDRemoteModeNone;
  isStopping_ = true;
  cancelRecoveryTimer();

  std::vector<unsigned> numbers;
  for (const auto& entry : devices_) numbers.push_back(entry.first);
  for (unsigned number : numbers) destructService(number);
  size_t tornDown = numbers.size();

  if (watching_) deviceLayer_->stopWatching();
  watching_ = false;
  returnToPID_.reset();

  int lastMode = mode_;
  if (lastMode != kHIDRemoteModeNone) {
    postStatusWithAction("stop");
    bool exclusive = lastMode == kHIDRemoteModeExclusive || lastMode == kHIDRemoteModeExclusiveAuto;
    if (sendStatusNotifications_ && exclusive && sendExclusiveResourceReuseNotification_ && !exclusiveLockLending_ &&
        tornDown > 0) {
      mode_ = kHIDRemoteModeNone;
      if (!isRestarting_) notifications_->post(kHIDRemoteRetryNotification, kGlobalObject, retryInfo());
    }
  }
  mode_ = kHIDRemoteModeNone;
  isStopping_ = false;
}

void HIDRemote::restart() {
  int mode = mode_;
  isRestarting_ = true;
  stopRemoteControl();
  startRemoteControl(mode);
  isRestarting_ = false;
}

// A seized receiver belongs to the session at the console: one that goes to
// the background gives it up (and its user at the console gets it), and
// takes it again when it comes back. No retry is broadcast: the other
// session's applications are on another bus.
void HIDRemote::consoleSessionChanged(bool active) {
  if (!active) {
    bool exclusive = mode_ == kHIDRemoteModeExclusive || mode_ == kHIDRemoteModeExclusiveAuto;
    if (!secureEventInputWorkAround_ || !exclusive) return;
    int mode = mode_;
    isRestarting_ = true;
    stopRemoteControl();
    isRestarting_ = false;
    consoleRecoverMode_ = mode;
    return;
  }
  int mode = consoleRecoverMode_;
  consoleRecoverMode_ = kHIDRemoteModeNone;
  if (mode == kHIDRemoteModeNone || isStarted()) return;
  isRestarting_ = true;
  startRemoteControl(mode);
  isRestarting_ = false;
}

// --- Devices --------------------------------------------------------------

void HIDRemote::serviceMatched(const HIDRemoteService& service) {
  if (mode_ == kHIDRemoteModeNone) return;
  setupService(service);
}

void HIDRemote::serviceTerminated(unsigned number) {
  destructService(number);
}

bool HIDRemote::prematchService(const HIDRemoteService& service) {
  bool matched = kReceiverDrivers.count(service.driver) > 0;
  if (delegate_) {
    if (std::optional<bool> answer = delegate_->inspectNewHardware(this, service, matched)) matched = *answer;
  }
  return matched;
}

bool HIDRemote::setupService(const HIDRemoteService& service) {
  if (!prematchService(service)) return false;
  if (devices_.count(service.number)) return true;  // already set up

  bool seize = mode_ == kHIDRemoteModeExclusive || mode_ == kHIDRemoteModeExclusiveAuto;
  std::vector<uint32_t> cookies;
  if (int status = deviceLayer_->open(service.number, seize, &cookies)) {
    failSetup(service.number, status, 3, false);
    return false;
  }

  auto attributes = std::make_shared<HIDRemoteHardwareAttributes>();
  attributes->serviceNumber = service.number;
  std::set<int32_t> buttons;
  for (uint32_t cookie : cookies) {
    int32_t code = HIDRemoteButtonCodeForKey(service.driver, cookie);
    if (code == kHIDRemoteButtonCodeNone) continue;
    attributes->cookieButtonCodes[cookie] = code;
    buttons.insert(code);
  }
  if (buttons.size() < kMinimumButtons) {
    failSetup(service.number, kHIDRemoteGenericError, 8, true);
    return false;
  }
  if (int status = deviceLayer_->startQueue(service.number)) {
    failSetup(service.number, status, 11, true);
    return false;
  }
  attributes->product = service.product;
  attributes->manufacturer = service.manufacturer;
  attributes->transport = service.transport;
  // No receiver here reports an aluminium-remote support level.
  attributes->aluminumRemoteSupportLevel = 0;

  devices_[service.number] = attributes;
  if (delegate_) delegate_->foundNewHardware(this, *attributes);
  return true;
}

void HIDRemote::failSetup(unsigned number, int32_t status, int internalErrorCode, bool opened) {
  if (delegate_) {
    HIDRemoteError error{status, internalErrorCode};
    delegate_->failedNewHardware(this, &error);
  }
  if (opened) deviceLayer_->close(number);
}

void HIDRemote::destructService(unsigned number) {
  auto it = devices_.find(number);
  if (it == devices_.end()) return;
  Attributes attributes = it->second;  // alive to the end of the tear-down
  devices_.erase(it);
  if (delegate_) delegate_->releasedHardware(this, *attributes);
  cancelHoldTimer(*attributes);
  deviceLayer_->close(number);
}

int64_t HIDRemote::aluminiumRemoteSystemSupportLevel() const {
  int64_t level = 0;
  for (const auto& entry : devices_) level = std::max(level, entry.second->aluminumRemoteSupportLevel);
  return level;
}

// --- Button events --------------------------------------------------------

void HIDRemote::queueHasEvents(unsigned number) {
  hidEventFor(number);
}

void HIDRemote::hidEventFor(unsigned number) {
  auto found = devices_.find(number);
  if (found == devices_.end()) return;
  Attributes attributes = found->second;  // alive to the end of the pass
  HIDRemoteQueueEvent event;
  while (deviceLayer_->nextEvent(number, &event)) {
    auto element = attributes->cookieButtonCodes.find(event.cookie);
    if (element == attributes->cookieButtonCodes.end()) continue;
    int32_t code = element->second;
    int32_t last = attributes->lastButtonPressed;
    if (event.value == kHIDRemoteKeyRepeated && code != kHIDRemoteButtonCodeIDChanged) {
      buttonHeld(code, attributes);
      continue;
    }
    if (event.value == kHIDRemoteKeyReleased) {
      if (code == last || (code | kHIDRemoteButtonCodeHoldMask) == last) releaseLastButton(attributes);
      continue;
    }
    releaseLastButton(attributes);
    if (code == kHIDRemoteButtonCodeIDChanged) {
      if (delegate_) delegate_->remoteIDChanged(this, lastSeenRemoteID_, event.value, *attributes);
      lastSeenRemoteID_ = event.value;
      lastSeenModel_ = 0;
    }
    handleButtonCode(code, true, attributes);
    attributes->lastButtonPressed = code;
    if (isHoldableButton(code)) {
      // For drivers that do not repeat a key held down.
      attributes->simulateHoldEventsTimer = timers_->start(kHoldDelayMs, [this, attributes, code] {
        attributes->simulateHoldEventsTimer = 0;  // fired
        buttonHeld(code, attributes);
      });
    }
  }
}

void HIDRemote::releaseLastButton(const Attributes& attributes) {
  int32_t last = attributes->lastButtonPressed;
  if (last == 0) return;
  if (isHoldableButton(last & ~kHIDRemoteButtonCodeHoldMask)) cancelHoldTimer(*attributes);
  attributes->lastButtonPressed = 0;
  handleButtonCode(last, false, attributes);
}

void HIDRemote::buttonHeld(int32_t code, const Attributes& attributes) {
  if (!isHoldableButton(code) || attributes->lastButtonPressed != code) return;  // not down, or already held
  cancelHoldTimer(*attributes);
  attributes->lastButtonPressed = 0;
  handleButtonCode(code, false, attributes);
  int32_t held = code | kHIDRemoteButtonCodeHoldMask;
  attributes->lastButtonPressed = held;
  handleButtonCode(held, true, attributes);
}

void HIDRemote::cancelHoldTimer(HIDRemoteHardwareAttributes& attributes) {
  timers_->cancel(attributes.simulateHoldEventsTimer);
  attributes.simulateHoldEventsTimer = 0;
}

void HIDRemote::handleButtonCode(int32_t code, bool isPressed, const Attributes& attributes) {
  if (code == kHIDRemoteButtonCodeIDChanged) return;
  bool upOrDown = code == kHIDRemoteButtonCodeUp || code == kHIDRemoteButtonCodeDown;
  if (!upOrDown || !simulateHoldEvents_) {
    sendButtonCode(code, isPressed, attributes);
    return;
  }
  bool timing = attributes->simulateHoldEventsTimer != 0;
  cancelHoldTimer(*attributes);
  if (isPressed) {
    attributes->hasSimulateHoldEventsOriginButtonCode = true;
    attributes->simulateHoldEventsOriginButtonCode = code;
    attributes->simulateHoldEventsTimer =
        timers_->start(kHoldDelayMs, [this, attributes] { simulateHoldEvent(attributes); });
    return;
  }
  if (attributes->hasSimulateHoldEventsOriginButtonCode) {
    int32_t origin = attributes->simulateHoldEventsOriginButtonCode;
    if (timing) {  // released before the hold delay: a short click
      sendButtonCode(origin, true, attributes);
      sendButtonCode(origin, false, attributes);
    } else {
      sendButtonCode(origin + kHIDRemoteButtonCodeHoldMask, false, attributes);
    }
  }
  attributes->hasSimulateHoldEventsOriginButtonCode = false;
}

void HIDRemote::simulateHoldEvent(const Attributes& attributes) {
  if (!attributes->simulateHoldEventsTimer || !attributes->hasSimulateHoldEventsOriginButtonCode) return;
  attributes->simulateHoldEventsTimer = 0;  // fired
  sendButtonCode(attributes->simulateHoldEventsOriginButtonCode + kHIDRemoteButtonCodeHoldMask, true, attributes);
}

void HIDRemote::sendButtonCode(int32_t code, bool isPressed, const Attributes& attributes) {
  if (!delegate_) return;
  int32_t plain = code & ~kHIDRemoteButtonCodeAluminumMask;
  if (plain == kHIDRemoteButtonCodeCenter || plain == kHIDRemoteButtonCodePlay) {
    if (code & kHIDRemoteButtonCodeAluminumMask) {
      lastSeenModel_ = 2;
      lastSeenModelRemoteID_ = lastSeenRemoteID_;
    } else if (attributes->aluminumRemoteSupportLevel == 2) {
      if (lastSeenModel_ == 0)
        lastSeenModel_ = 1;
      else if (lastSeenModel_ == 2 && lastSeenModelRemoteID_ != lastSeenRemoteID_)
        lastSeenModel_ = 1;
    }
  }
  if (code == (kHIDRemoteButtonCodeCenter | kHIDRemoteButtonCodeHoldMask) && lastSeenModel_ == 2) {
    code = kHIDRemoteButtonCodePlay | kHIDRemoteButtonCodeHoldMask;
  }
  delegate_->eventWithButton(this, code & ~kHIDRemoteButtonCodeAluminumMask, isPressed, *attributes);
}

// --- Application activation ----------------------------------------------

void HIDRemote::cancelRecoveryTimer() {
  timers_->cancel(autoRecoveryTimer_);
  autoRecoveryTimer_ = 0;
}

void HIDRemote::applicationDidBecomeActive() {
  cancelRecoveryTimer();
  if (!autoRecover_) return;
  autoRecoveryTimer_ = timers_->start(kAutoRecoveryDelayMs, [this] { delayedAutoRecovery(); });
}

void HIDRemote::applicationWillResignActive() {
  cancelRecoveryTimer();
  if (mode_ != kHIDRemoteModeExclusiveAuto) return;
  stopRemoteControl();
  autoRecover_ = true;
}

void HIDRemote::applicationWillTerminate() {
  cancelRecoveryTimer();
  applicationIsTerminating_ = true;
  if (isStarted()) stopRemoteControl();
}

void HIDRemote::delayedAutoRecovery() {
  autoRecoveryTimer_ = 0;  // fired
  if (!autoRecover_) return;
  startRemoteControl(kHIDRemoteModeExclusiveAuto);
  autoRecover_ = false;
}

// --- Coordination ---------------------------------------------------------

void HIDRemote::setUnusedButtonCodes(const std::vector<int64_t>& codes) {
  unusedButtonCodes_ = codes;
  postStatusWithAction("update");
}

void HIDRemote::postStatusWithAction(const std::string& action) {
  if (!sendStatusNotifications_) return;
  HIDRemoteInfo info;
  info["HIDRemoteVersion"] = int64_t{1};
  info["PID"] = int64_t{pid_};
  info["Mode"] = int64_t{mode_};
  info["RemoteControlCount"] = int64_t{isStarted() ? activeRemoteControlCount() : 0};
  info["UnusedButtonCodes"] = unusedButtonCodes_;
  info["Action"] = action;
  info["ApplicationIdentifier"] = applicationIdentifier_;
  if (returnToPID_) info["ReturnToPID"] = *returnToPID_;
  notifications_->post(kHIDRemoteStatusNotification, pidString_, info);
}

HIDRemoteInfo HIDRemote::retryInfo() const {
  HIDRemoteInfo info;
  info["PID"] = int64_t{pid_};
  info["ApplicationIdentifier"] = applicationIdentifier_;
  return info;
}

void HIDRemote::setExclusiveLockLendingEnabled(bool value) {
  if (value == exclusiveLockLending_) return;
  exclusiveLockLending_ = value;
  if (value) {
    statusObserver_ =
        notifications_->observe(kHIDRemoteStatusNotification, "", true,
                                [this](const HIDRemoteNotificationCenter::Notification& n) { handleNotification(n); });
  } else {
    notifications_->removeObserver(statusObserver_);
    statusObserver_ = 0;
    waitForReturnByPID_.reset();
  }
}

void HIDRemote::handleNotification(const HIDRemoteNotificationCenter::Notification& notification) {
  if (notification.name.empty()) return;
  if (notification.name == kHIDRemotePingNotification) {
    postStatusWithAction("update");
  } else if (notification.name == kHIDRemoteRetryNotification) {
    handleRetry(notification);
  } else if (notification.name == kHIDRemoteStatusNotification) {
    handleStatus(notification);
  }
}

void HIDRemote::handleRetry(const HIDRemoteNotificationCenter::Notification& notification) {
  if (!isStarted()) return;
  std::optional<int64_t> sender = numberIn(notification.userInfo, "PID");
  bool ownBroadcast = notification.object == kGlobalObject && sender == int64_t{pid_};
  bool declined = false;
  if (!ownBroadcast && delegate_) {
    std::optional<bool> answer = delegate_->shouldRetryExclusiveLock(this, notification.userInfo);
    declined = answer.has_value() && !*answer;
  }
  if (ownBroadcast || declined) {
    std::optional<int64_t> previous = returnToPID_;
    returnToPID_ = sender;
    postStatusWithAction("noneed");
    returnToPID_ = previous;
    return;
  }
  int mode = mode_;
  restart();
  if (mode != kHIDRemoteModeShared && isStarted()) returnToPID_ = sender;
}

void HIDRemote::handleStatus(const HIDRemoteNotificationCenter::Notification& notification) {
  if (!exclusiveLockLending_) return;
  const HIDRemoteInfo& info = notification.userInfo;
  std::optional<std::string> action = textIn(info, "Action");
  if (!action) return;
  std::optional<int64_t> sender = numberIn(info, "PID");

  if (!isStarted() && waitForReturnByPID_ && sender) {
    std::optional<int64_t> returnTo = numberIn(info, "ReturnToPID");
    std::string effectiveAction = *action;
    if (*action == "start" && sender == waitForReturnByPID_ && numberIn(info, "Mode") == int64_t{1}) {
      effectiveAction = "noneed";
      returnTo = int64_t{pid_};
    }
    bool returned = returnTo && (effectiveAction == "stop" || effectiveAction == "noneed") &&
                    sender == waitForReturnByPID_ && *returnTo == pid_;
    if (!returned) return;
    waitForReturnByPID_.reset();
    if (!delegate_ || !delegate_->exclusiveLockReleasedByApplication(this, info)) {
      startRemoteControl(kHIDRemoteModeExclusive);
    }
    return;
  }

  if (mode_ == kHIDRemoteModeExclusive && *action == "start" && sender && *sender != pid_) {
    if (delegate_) {
      std::optional<bool> lend = delegate_->lendExclusiveLockToApplication(this, info);
      if (lend.has_value() && !*lend) return;
    }
    waitForReturnByPID_ = sender;
    stopRemoteControl();
    notifications_->post(kHIDRemoteRetryNotification, std::to_string(*sender), retryInfo());
  }
}
