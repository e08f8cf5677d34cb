#include "VLAudioInterface.h"

#include "VEOutputTable.h"
#include "VESound.h"
#include "VESystem.h"
#include "VLFileHandle.h"
#include "VLLogger.h"
#include "VLMutex.h"
#include "VLPlatformFactory.h"
#include "VLSound.h"
#include "VLStreamSource.h"
#include "VLStreamUrl.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <system_error>
#include <thread>

namespace {

const size_t kNoPendingSize = static_cast<size_t>(-1);
const size_t kDefaultStreamBufferSize = 65536;
const unsigned int kDecodeBufferMilliseconds = 400;
const int kNameLength = 1024;
const int kTooManyPlaying = 3;
const char* const kDefaultOutput = "0:0";
// How often an engine left on no sound looks for a device again: soon enough
// that sound comes back within moments of the sound server, rarely enough
// that the looking costs nothing.
const double kDeviceDetectionSeconds = 3.0;
// Every look asks the sound server; only every this many looks also list the
// other kinds of output (a sound card plugged in meanwhile): listing ALSA's
// devices parses its configuration and loads its plugins, which at every look
// took an idle client about a fifth of its processor time.
const unsigned kLooksPerFullLook = 10;

std::string makeOutputId(int type, unsigned int driverKey) {
  return std::to_string(type) + ":" + std::to_string(driverKey);
}

// The output type of an id: leading digits with an optional sign, 0 when there
// are none, clamped to int.
int parseOutputType(const std::string& text) {
  long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// The number of drivers the probe lists for type.
int driverCount(VESystem* probe, VEOutputType type) {
  int count = 0;
  if (probe->setOutput(type) != VE_OK || probe->getNumDrivers(&count) != VE_OK) return 0;
  return count;
}

// Whether the probe lists a driver of type whose key is key; key 0 stands for
// the type's first driver.
bool listsDriver(VESystem* probe, VEOutputType type, unsigned int key) {
  const int count = driverCount(probe, type);
  if (key == 0) return count > 0;
  for (int index = 0; index < count; ++index) {
    VEGuid guid = {};
    if (probe->getDriverInfo(index, nullptr, 0, &guid) == VE_OK && guid.data1 == key) return true;
  }
  return false;
}

VLStreamSource* sourceOf(void* userData) {
  return static_cast<VLStreamSource*>(userData);
}

// A handle nobody will use goes back to the source, which undoes its opens.
// Without a session the source has already let go of every handle it had open.
void giveBackHandle(VLStreamSource* source, VLFileHandle* handle) {
  if (handle && source && !source->streamClose(handle))
    VL_LOG_WARN("Unable to give file handle back, session is closed : " << static_cast<void*>(handle));
}

// The handles the engine holds: given to it by an open callback and neither
// closed by a close callback nor given back since. Process-wide, because a
// close callback may still run after its interface is gone: exactly one of the
// close callback and the give-back after a system close claims each handle.
VLMutex* engineHandlesMutex() {
  static VLMutex* mutex = VLPlatformFactory::instance()->createMutex();
  return mutex;
}

std::map<VLFileHandle*, const VLAudioInterface*>& engineHandles() {
  static std::map<VLFileHandle*, const VLAudioInterface*>* handles =
      new std::map<VLFileHandle*, const VLAudioInterface*>();
  return *handles;
}

}  // namespace

// Asks with a system of its own, never initialised, so the one playing is not
// touched. everyKind: the sound server (the first of the automatic output's
// order) and the kinds after it; else the sound server only: listing ALSA's
// devices at every look costs an idle client much of its processor time.
bool VLAudioInterface::LookTarget::answers(bool everyKind) const {
  VESystem* probe = nullptr;
  if (VESystem::create(&probe) != VE_OK) return false;
  const VEOutputType server = veAutomaticOutputOrder().front();
  bool found = false;
  for (VEOutputType type : betterKinds) {
    if (!everyKind && type != server) continue;
    found = driverCount(probe, type) > 0;
    if (found) break;
  }
  if (!found && wantedType != VE_OUTPUTTYPE_AUTODETECT && (everyKind || wantedType == server))
    found = listsDriver(probe, wantedType, wantedKey);
  probe->release();
  return found;
}

// One look for a device, on a thread of its own: reaching a sound server that
// takes connections but never answers costs the look its time-outs, never the
// worker or the page. Shared with the thread, which may outlive the interface.
struct VLAudioInterface::DeviceLook {
  std::atomic<bool> done{false};
  std::atomic<bool> answers{false};

  // A running look for target (copied); null when no thread could start.
  static std::shared_ptr<DeviceLook> start(const LookTarget& target, bool everyKind) {
    auto look = std::make_shared<DeviceLook>();
    try {
      std::thread([look, target, everyKind] {
        look->answers.store(target.answers(everyKind));
        look->done.store(true);
      }).detach();
    } catch (const std::system_error&) {
      return nullptr;
    }
    return look;
  }
};

VLAudioInterface::VLAudioInterface()
    : mutex_(VLPlatformFactory::instance()->createMutex()),
      system_(nullptr),
      source_(nullptr),
      initialised_(false),
      blockAlign_(0),
      valuesLock_(VLPlatformFactory::instance()->createMutex()),
      outputDriverIndex_(0),
      pendingStreamBufferSize_(kNoPendingSize),
      streamBufferSize_(kNoPendingSize),
      channels_(kChannelCount, 0),
      playingCount_(0),
      tooManyWarned_(false),
      nextDeviceDetection_(0.0),
      deviceLooks_(0),
      awaitingDevice_(false),
      callbacksUnderWay_(0),
      playbackState_(PlaybackStopped) {}

VLAudioInterface::~VLAudioInterface() {
  clean(false);
  delete valuesLock_;
  delete mutex_;
}

std::string VLAudioInterface::describeResult(VEResult result) {
  std::ostringstream text;
  text << "Audio engine failed : (" << static_cast<int>(result) << ") " << veResultText(result);
  return text.str();
}

// ---------------------------------------------------------------------------
// Engine set-up

void VLAudioInterface::init(const std::string& name, const std::string& output, int streamBufferSize, int blockAlign,
                            VLStreamSource* source) {
  VLMutexLocker locker(mutex_);
  source_.store(source);
  name_ = name;
  blockAlign_ = blockAlign;
  size_t bufferSize = kDefaultStreamBufferSize;
  if (streamBufferSize > 0)
    bufferSize = static_cast<size_t>(streamBufferSize);
  else
    VL_LOG_WARN("Invalid stream buffer size, using the default : " << streamBufferSize);
  wantedOutput_ = output.empty() ? kDefaultOutput : output;
  if (!openEngine(output, bufferSize)) clean(false);
}

bool VLAudioInterface::openEngine(const std::string& output, size_t streamBufferSize) {
  Engine engine;
  if (!prepareEngine(output, streamBufferSize, &engine)) return false;
  installEngine(engine);
  return true;
}

// Touches no member but the constant block alignment and source: it runs off
// the audio lock while the engine in use plays on.
bool VLAudioInterface::prepareEngine(const std::string& output, size_t streamBufferSize, Engine* engine) const {
  VESystem* system = nullptr;
  VEResult result = VESystem::create(&system);
  if (result != VE_OK) {
    VL_LOG_ERROR(describeResult(result));
    return false;
  }
  engine->system = system;
  result = system->setSoftwareFormat(44100, VE_SOUND_FORMAT_PCM16, 2, 2, VE_RESAMPLER_SPLINE);
  if (result == VE_OK) {
    // The engine's table says which device families are listed, in its order.
    for (size_t index = 0; index < kOutputCount; ++index) {
      if (kOutputs[index].listsDevices)
        searchAvailableOutputDrivers(system, kOutputs[index].name, kOutputs[index].type, &engine->drivers);
    }
    if (!startOutput(output, engine)) result = VE_ERR_OUTPUT_INIT;
  }
  char proxy[kNameLength] = {0};
  if (result == VE_OK) result = system->getNetworkProxy(proxy, sizeof(proxy));
  if (result == VE_OK && proxy[0] != '\0') VL_LOG_DEBUG("Audio engine proxy detected : " << proxy);
  if (result == VE_OK) {
    result = system->setStreamBufferSize(static_cast<unsigned int>(streamBufferSize), VE_TIMEUNIT_RAWBYTES);
    if (result != VE_OK && streamBufferSize != kDefaultStreamBufferSize) {
      // A stored size the engine cannot take must not leave the session
      // without sound.
      VL_LOG_WARN("Unable to set stream buffer size, using the default : " << streamBufferSize);
      streamBufferSize = kDefaultStreamBufferSize;
      result = system->setStreamBufferSize(static_cast<unsigned int>(streamBufferSize), VE_TIMEUNIT_RAWBYTES);
    }
  }
  engine->streamBufferSize = streamBufferSize;
  if (result == VE_OK) result = system->setDecodeBufferLength(kDecodeBufferMilliseconds);
  if (result == VE_OK)
    result = system->setFileSystem(&VLAudioInterface::streamOpen, &VLAudioInterface::streamClose,
                                   &VLAudioInterface::asyncStreamRead, blockAlign_, source_.load());
  if (result == VE_OK) return true;
  // startOutput logged its own failures.
  if (result != VE_ERR_OUTPUT_INIT) VL_LOG_ERROR(describeResult(result));
  discardEngine(engine);
  return false;
}

void VLAudioInterface::discardEngine(Engine* engine) {
  if (!engine->system) return;
  VEResult result = engine->system->close();
  if (result != VE_OK) VL_LOG_WARN(describeResult(result));
  result = engine->system->release();
  if (result != VE_OK) VL_LOG_WARN(describeResult(result));
  engine->system = nullptr;
}

// Audio lock held; no engine in use.
void VLAudioInterface::installEngine(const Engine& engine) {
  {
    VLMutexLocker locker(valuesLock_);
    outputDrivers_ = engine.drivers;
    output_ = engine.output;
    outputDriverIndex_ = engine.driverIndex;
    streamBufferSize_ = engine.streamBufferSize;
  }
  system_.store(engine.system);
  initialised_ = true;
  noteSettledOutput();
}

// Chooses the output of an id and opens it. An id whose kind of output has no
// device now (the sound server not started yet, or gone) or whose device does
// not open plays on the automatic output instead; an id that names no kind of
// output at all (no colon) fails.
bool VLAudioInterface::startOutput(const std::string& output, Engine* engine) const {
  VESystem* system = engine->system;
  const std::string requested = output.empty() ? kDefaultOutput : output;
  bool selected = selectOutput(requested, engine);
  const bool fallsBack = !selected && requested.find(':') != std::string::npos && requested != kDefaultOutput;
  if (fallsBack) {
    VL_LOG_WARN("Unable to set audio engine output, set it to default : " << requested);
    selected = selectOutput(kDefaultOutput, engine);
  }
  if (!selected) {
    VL_LOG_ERROR("Unable to set audio engine output : " << output);
    return false;
  }
  VEResult result = system->init(kChannelCount, 0, nullptr);
  if (result == VE_ERR_OUTPUT_INIT && output != kDefaultOutput && !fallsBack) {
    VL_LOG_WARN("Unable to set audio engine output, set it to default");
    if (!selectOutput(kDefaultOutput, engine)) {
      VL_LOG_ERROR("Unable to set audio engine output to default");
      return false;
    }
    result = system->init(kChannelCount, 0, nullptr);
  }
  if (result != VE_OK) {
    VL_LOG_ERROR(describeResult(result));
    return false;
  }
  return true;
}

// The engine waits for a device when it settled on no sound although the
// output asked for was another one, or on another device than the one the
// user chose (its sound server answered too late, or it is unplugged): it
// goes on looking for it. On the automatic output it also looks for a kind
// of output it prefers to the one it settled on (a sound server that had not
// answered yet), so that the server's sinks are offered once it answers.
void VLAudioInterface::noteSettledOutput() {
  VEOutputType settled = VE_OUTPUTTYPE_AUTODETECT;
  VESystem* system = system_.load();
  LookTarget target;
  if (system && system->getOutput(&settled) == VE_OK) target = lookTargetFor(settled);
  const bool onNoSound = settled == VE_OUTPUTTYPE_NOSOUND && parseOutputType(wantedOutput_) != VE_OUTPUTTYPE_NOSOUND;
  awaitingDevice_.store(onNoSound || target.wantedType != VE_OUTPUTTYPE_AUTODETECT);
  {
    VLMutexLocker values(valuesLock_);
    lookTarget_ = target;
  }
  if (target.empty()) return;
  if (onNoSound)
    VL_LOG_WARN("No audio output device, waiting for one : " << wantedOutput_);
  else
    VL_LOG_WARN("Audio output device missing, looking for it : " << wantedOutput_);
  // The devices were just looked for: the next look is due in a while.
  nextDeviceDetection_ = VLPlatformFactory::instance()->getTime() + kDeviceDetectionSeconds;
}

VLAudioInterface::LookTarget VLAudioInterface::lookTargetFor(VEOutputType settled) const {
  LookTarget target;
  const size_t colon = wantedOutput_.find(':');
  if (colon == std::string::npos) return target;
  const int wantedType = parseOutputType(wantedOutput_.substr(0, colon));
  const VEOutputEntry* wanted = veFindOutput(wantedType);
  // Only the kinds whose devices the user chooses among are waited for.
  const bool chosenKind = wanted && wanted->listsDevices && wantedType != VE_OUTPUTTYPE_AUTODETECT;
  if (wantedType == VE_OUTPUTTYPE_AUTODETECT || (chosenKind && settled == VE_OUTPUTTYPE_NOSOUND)) {
    for (VEOutputType type : veAutomaticOutputOrder()) {
      if (type == settled || type == VE_OUTPUTTYPE_NOSOUND) break;
      target.betterKinds.push_back(type);
    }
  }
  const unsigned int key = VLStreamUrl::parseUnsigned(wantedOutput_.substr(colon + 1));
  if (chosenKind && !playsDriver(settled, wantedType, key)) {
    target.wantedType = static_cast<VEOutputType>(wantedType);
    target.wantedKey = key;
  }
  return target;
}

// Whether the engine, settled on the kind settled, plays on the driver of
// type whose key is key (0: the type's first driver).
bool VLAudioInterface::playsDriver(VEOutputType settled, int type, unsigned int key) const {
  if (settled != type) return false;
  if (key == 0) return true;
  VESystem* system = system_.load();
  int index = 0;
  VEGuid guid = {};
  return system->getDriver(&index) == VE_OK && system->getDriverInfo(index, nullptr, 0, &guid) == VE_OK &&
         guid.data1 == key;
}

bool VLAudioInterface::searchAvailableOutputDrivers(VESystem* system, const std::string& label, int type,
                                                    DriverList* list) {
  int count = 0;
  if (!useOutputType(system, type, &count)) return false;
  for (int index = 0; index < count; ++index) {
    char name[kNameLength] = {0};
    VEGuid guid = {};
    const VEResult result = system->getDriverInfo(index, name, kNameLength, &guid);
    if (result != VE_OK) {
      VL_LOG_WARN(describeResult(result));
      return false;
    }
    const std::string driverLabel = label + " : " + name;
    const std::string id = makeOutputId(type, guid.data1);
    VL_LOG_DEBUG("Output driver found : " << driverLabel << " (" << id << ")");
    list->push_back(std::make_pair(driverLabel, id));
  }
  return true;
}

// Chooses the output type and driver of an id before the engine's init. An id
// whose driver is gone plays on driver 0 and stays the current output.
bool VLAudioInterface::selectOutput(const std::string& id, Engine* engine) {
  const size_t colon = id.find(':');
  if (colon == std::string::npos) return false;
  const int type = parseOutputType(id.substr(0, colon));
  int count = 0;
  VESystem* system = engine->system;
  if (!useOutputType(system, type, &count)) return false;
  VEResult result = VE_OK;
  if (count <= 0) {
    VL_LOG_WARN("No driver found");
    return false;
  }

  const unsigned int key = VLStreamUrl::parseUnsigned(id.substr(colon + 1));
  std::string selected = id;
  int index = 0;
  if (key == 0) {
    VEGuid guid = {};
    result = system->getDriverInfo(0, nullptr, 0, &guid);
    if (result != VE_OK) {
      VL_LOG_WARN(describeResult(result));
      return false;
    }
    selected = makeOutputId(type, guid.data1);
  } else {
    index = -1;
    for (int candidate = 0; candidate < count && index < 0; ++candidate) {
      VEGuid guid = {};
      result = system->getDriverInfo(candidate, nullptr, 0, &guid);
      if (result != VE_OK) {
        VL_LOG_WARN(describeResult(result));
        return false;
      }
      if (guid.data1 == key) index = candidate;
    }
    if (index < 0) {
      VL_LOG_WARN("Audio engine driver not found, set to default");
      index = 0;
    }
  }
  result = system->setDriver(index);
  if (result != VE_OK) {
    VL_LOG_ERROR(describeResult(result));
    return false;
  }
  engine->output = selected;
  engine->driverIndex = index;
  return true;
}

// Sets the engine's output type and counts its drivers; false, logged, when
// there is no system or the engine refuses either.
bool VLAudioInterface::useOutputType(VESystem* system, int type, int* driverCount) {
  if (!system) return false;
  VEResult result = system->setOutput(static_cast<VEOutputType>(type));
  if (result == VE_OK) result = system->getNumDrivers(driverCount);
  if (result != VE_OK) {
    VL_LOG_ERROR(describeResult(result));
    return false;
  }
  return true;
}

void VLAudioInterface::setOutputValue(const std::string& id, int driverIndex) {
  VLMutexLocker locker(valuesLock_);
  output_ = id;
  outputDriverIndex_ = driverIndex;
}

// An id names the device in use when it has the current output type and
// either the current driver's key or the key 0, which stands for the type's
// first driver. The page sends both the short and the full form of an id.
bool VLAudioInterface::namesCurrentOutput(const std::string& id) const {
  const size_t colon = id.find(':');
  const size_t currentColon = output_.find(':');
  if (!initialised_ || colon == std::string::npos || currentColon == std::string::npos) return false;
  if (parseOutputType(id.substr(0, colon)) != parseOutputType(output_.substr(0, currentColon))) return false;
  const unsigned int key = VLStreamUrl::parseUnsigned(id.substr(colon + 1));
  if (key == 0) return outputDriverIndex_ == 0;
  return key == VLStreamUrl::parseUnsigned(output_.substr(currentColon + 1));
}

void VLAudioInterface::closeEngine() {
  VLMutexLocker locker(mutex_);
  VESystem* system = system_.load();
  if (system) {
    VEResult result = system->close();
    if (result != VE_OK) VL_LOG_WARN(describeResult(result));
    result = system->release();
    if (result != VE_OK) VL_LOG_WARN(describeResult(result));
  }
  system_.store(nullptr);
  initialised_ = false;
  awaitingDevice_.store(false);
  {
    VLMutexLocker values(valuesLock_);
    lookTarget_ = LookTarget();
  }
  giveBackHandles();
}

void VLAudioInterface::registerEngineHandle(VLFileHandle* handle, const VLAudioInterface* owner) {
  VLMutexLocker locker(engineHandlesMutex());
  engineHandles()[handle] = owner;
}

bool VLAudioInterface::claimEngineHandle(VLFileHandle* handle) {
  VLMutexLocker locker(engineHandlesMutex());
  return engineHandles().erase(handle) != 0;
}

std::vector<VLFileHandle*> VLAudioInterface::claimEngineHandles(const VLAudioInterface* owner) {
  VLMutexLocker locker(engineHandlesMutex());
  std::vector<VLFileHandle*> claimed;
  auto& handles = engineHandles();
  for (auto it = handles.begin(); it != handles.end();) {
    if (it->second != owner) {
      ++it;
      continue;
    }
    claimed.push_back(it->first);
    it = handles.erase(it);
  }
  return claimed;
}

// The engine closes the handles of its streams on close, except those of
// streams it closed under a pending read or whose open was still being
// answered: no callback will ever come for them, so they go back to the source
// here (which also ends their pending reads). A close callback already under
// way has claimed its handle and closes it itself.
void VLAudioInterface::giveBackHandles() {
  for (VLFileHandle* handle : claimEngineHandles(this)) {
    VLSound* sound = findSoundByHandle(handle);
    if (sound) sound->setFileHandle(nullptr);
    giveBackHandle(source_.load(), handle);
  }
}

bool VLAudioInterface::clean(bool keepSounds) {
  // Open and close callbacks walk the sound table under this lock.
  VLMutexLocker locker(mutex_);
  if (!keepSounds) {
    for (auto it = sounds_.begin(); it != sounds_.end();) {
      if (!it->second->clean(nullptr)) {
        VL_LOG_ERROR("Unable to clean sound #" << it->first);
        return false;
      }
      delete it->second;
      it = sounds_.erase(it);
    }
  }
  while (!soundsToRelease_.empty()) {
    VESound* sound = soundsToRelease_.back();
    soundsToRelease_.pop_back();
    const VEResult result = sound->release();
    if (result != VE_OK) {
      VL_LOG_ERROR(describeResult(result));
      return false;
    }
  }
  closeEngine();
  return true;
}

// ---------------------------------------------------------------------------
// Output device and buffer size

bool VLAudioInterface::setOutput(const std::string& id, bool now) {
  const std::string target = id.empty() ? kDefaultOutput : id;
  if (!system_.load()) return false;
  if (!now) {
    VLMutexLocker locker(valuesLock_);
    pendingOutput_ = target;
    return true;
  }
  {
    VLMutexLocker locker(valuesLock_);
    pendingOutput_.clear();
  }
  {
    VLMutexLocker locker(mutex_);
    wantedOutput_ = target;
    if (!initialised_) {
      Engine engine;
      engine.system = system_.load();
      if (!selectOutput(target, &engine)) return false;
      setOutputValue(engine.output, engine.driverIndex);
      return true;
    }
    // No sound in place of a device is never the device asked for: asking
    // again (the automatic choice, a reset of the settings) looks again.
    VLMutexLocker values(valuesLock_);
    if (namesCurrentOutput(target) && !awaitingDevice_.load()) return true;
  }
  return switchOutput(target);
}

// The new engine is set up (its devices listed, its output opened, which
// waits on sound servers) before the audio lock is taken, while the engine in
// use plays on and the page's sound calls are answered; the lock is held only
// to hand the sounds over. An engine playing on ALSA is closed first instead,
// all under the lock, as a sound card's device opens only once at a time.
bool VLAudioInterface::switchOutput(const std::string& id) {
  size_t bufferSize = getStreamBufferSize();
  if (bufferSize == kNoPendingSize) bufferSize = kDefaultStreamBufferSize;
  VEOutputType inUse = VE_OUTPUTTYPE_AUTODETECT;
  VESystem* current = system_.load();
  const bool closeFirst = current && current->getOutput(&inUse) == VE_OK && inUse == VE_OUTPUTTYPE_ALSA;
  Engine engine;
  bool fellBack = false;
  const auto open = [&] {
    // The output id changes only once the new device is chosen: the page
    // never reads an id that names no device.
    if (prepareEngine(id, bufferSize, &engine)) return true;
    // The sounds outlive a device that cannot be opened: they go on on the
    // automatic output, and the page learns that its choice did not apply.
    VL_LOG_WARN("Unable to switch audio engine output, set it to default : " << id);
    fellBack = true;
    return prepareEngine(kDefaultOutput, bufferSize, &engine);
  };
  bool opened = !closeFirst && open();
  VLMutexLocker locker(mutex_);
  if (!save()) {
    discardEngine(&engine);
    return false;
  }
  if (closeFirst) opened = open();
  if (!opened) {
    VL_LOG_ERROR("Unable to set audio engine output to default");
    return false;
  }
  installEngine(engine);
  restore();
  return !fellBack;
}

bool VLAudioInterface::save() {
  for (auto& entry : sounds_) {
    if (!entry.second->save()) VL_LOG_WARN("Unable to save sound #" << entry.first);
  }
  return clean(true);
}

bool VLAudioInterface::restore() {
  for (auto& entry : sounds_) {
    if (!entry.second->restore()) VL_LOG_WARN("Unable to restore sound #" << entry.first);
  }
  return true;
}

std::string VLAudioInterface::getOutput() const {
  VLMutexLocker locker(valuesLock_);
  return output_;
}

std::string VLAudioInterface::getOutputToKeep() const {
  VLMutexLocker locker(mutex_);
  VLMutexLocker values(valuesLock_);
  if (namesCurrentOutput(wantedOutput_) && !awaitingDevice_.load()) return output_;
  return wantedOutput_;
}

VLAudioInterface::DriverList VLAudioInterface::getOutputDrivers() const {
  VLMutexLocker locker(valuesLock_);
  return outputDrivers_;
}

bool VLAudioInterface::setStreamBufferSize(size_t bytes, bool now) {
  if (!system_.load()) return false;
  if (bytes != kNoPendingSize && (bytes == 0 || bytes > getMaxStreamBufferSize())) {
    VL_LOG_WARN("Stream buffer size refused : " << static_cast<long long>(bytes));
    return false;
  }
  if (!now) {
    VLMutexLocker locker(valuesLock_);
    pendingStreamBufferSize_ = bytes;
    return true;
  }
  {
    VLMutexLocker locker(valuesLock_);
    pendingStreamBufferSize_ = kNoPendingSize;
  }
  if (bytes == kNoPendingSize) return true;
  VLMutexLocker locker(mutex_);
  VESystem* system = system_.load();
  if (!system) return false;
  const VEResult result = system->setStreamBufferSize(static_cast<unsigned int>(bytes), VE_TIMEUNIT_RAWBYTES);
  if (result != VE_OK) {
    VL_LOG_ERROR(describeResult(result));
    return false;
  }
  VLMutexLocker values(valuesLock_);
  streamBufferSize_ = bytes;
  return true;
}

size_t VLAudioInterface::getMaxStreamBufferSize() {
  return VESystem::kMaxStreamBufferSize;
}

size_t VLAudioInterface::getStreamBufferSize() const {
  VLMutexLocker locker(valuesLock_);
  return streamBufferSize_;
}

// ---------------------------------------------------------------------------
// Update

bool VLAudioInterface::update() {
  if (!system_.load()) return false;
  // Outside the audio lock: the page's sound calls never wait for a look,
  // nor for a device switch's setting up of its new engine.
  const bool deviceFound = lookForDevice();
  bool result = true;
  VEResult engineResult = updatePass(&result);
  if (engineResult == VE_ERR_OUTPUT_LOST) {
    recoverLostOutput();
    engineResult = updatePass(&result);
  }
  if (engineResult != VE_OK) {
    if (engineResult != VE_ERR_UNINITIALIZED || system_.load()) VL_LOG_WARN(describeResult(engineResult));
    return false;
  }

  std::string pendingOutput;
  size_t pendingSize = kNoPendingSize;
  {
    VLMutexLocker values(valuesLock_);
    pendingOutput.swap(pendingOutput_);
    pendingSize = pendingStreamBufferSize_;
  }
  if (!pendingOutput.empty()) {
    setOutput(pendingOutput, true);
  } else if (deviceFound) {
    // A device chosen in this pass replaces what the look was for.
    std::string wanted;
    {
      VLMutexLocker locker(mutex_);
      wanted = wantedOutput_;
    }
    VL_LOG_INFO("Audio output device found, set it to : " << wanted);
    switchOutput(wanted);
  }
  if (pendingSize != kNoPendingSize) setStreamBufferSize(pendingSize, true);
  return result;
}

// The engine's update and every sound's, under the audio lock. The engine's
// result; VE_ERR_UNINITIALIZED without an engine. *result turns false when a
// sound's update or a release fails.
VEResult VLAudioInterface::updatePass(bool* result) {
  VLMutexLocker locker(mutex_);
  VESystem* system = system_.load();
  if (!system) return VE_ERR_UNINITIALIZED;
  const VEResult engineResult = system->update();
  if (engineResult != VE_OK) return engineResult;
  playingCount_ = 0;
  PlaybackState playback = PlaybackStopped;
  for (auto& entry : sounds_) {
    if (!entry.second->update()) *result = false;
    if (entry.second->getPlaying()) {
      ++playingCount_;
      playback = std::max(playback, entry.second->getPaused() ? PlaybackPaused : PlaybackPlaying);
    }
  }
  playbackState_.store(playback);
  warnTooManySounds();
  releaseDeferredSounds(result);
  return VE_OK;
}

// Every few seconds while the engine waits for a device a look starts away
// from the worker; the first pass after it ended learns whether a device
// answered.
bool VLAudioInterface::lookForDevice() {
  LookTarget target;
  {
    VLMutexLocker values(valuesLock_);
    target = lookTarget_;
  }
  if (target.empty()) {
    deviceLook_.reset();
    return false;
  }
  if (deviceLook_) {
    if (!deviceLook_->done.load()) return false;
    const bool answers = deviceLook_->answers.load();
    deviceLook_.reset();
    return answers;
  }
  const double now = VLPlatformFactory::instance()->getTime();
  if (now < nextDeviceDetection_) return false;
  nextDeviceDetection_ = now + kDeviceDetectionSeconds;
  deviceLook_ = DeviceLook::start(target, deviceLooks_++ % kLooksPerFullLook == 0);
  return false;
}

// The device went away under the engine (unplugged, sound server stopped or
// restarted): the sounds move to the automatic output, each where it was,
// as a device switch moves them.
VESystem* VLAudioInterface::recoverLostOutput() {
  VL_LOG_WARN("Audio engine output lost, set it to default : " << getOutput());
  switchOutput(kDefaultOutput);
  return system_.load();
}

void VLAudioInterface::warnTooManySounds() {
  if (playingCount_ < kTooManyPlaying) {
    tooManyWarned_ = false;
    return;
  }
  if (tooManyWarned_) return;
  VL_LOG_WARN("Too many sounds are playing : " << playingCount_ << ", current sounds are :" << describeSounds(false));
  tooManyWarned_ = true;
}

// Sounds are released once their open has settled. A failed open settles too:
// the engine then answers with the open's failure code and the error state.
void VLAudioInterface::releaseDeferredSounds(bool* result) {
  for (auto it = soundsToRelease_.begin(); it != soundsToRelease_.end();) {
    VEOpenState state = VE_OPENSTATE_LOADING;
    const VEResult stateResult = (*it)->getOpenState(&state, nullptr, nullptr, nullptr);
    if (state == VE_OPENSTATE_LOADING || (stateResult != VE_OK && state != VE_OPENSTATE_ERROR)) {
      if (stateResult != VE_OK) *result = false;
      ++it;
      continue;
    }
    const VEResult releaseResult = (*it)->release();
    if (releaseResult != VE_OK) {
      VL_LOG_ERROR(describeResult(releaseResult));
      *result = false;
    }
    it = soundsToRelease_.erase(it);
  }
}

// ---------------------------------------------------------------------------
// Sound table

bool VLAudioInterface::createSound(const std::string& url, int* id) {
  VLMutexLocker locker(mutex_);
  const int largest = sounds_.empty() ? 0 : sounds_.rbegin()->first;
  if (largest == INT_MAX) {
    VL_LOG_ERROR("Unable to initialize sound : " << url);
    return false;
  }
  VLSound* sound = new VLSound(this);
  if (!sound->init(url)) {
    VL_LOG_ERROR("Unable to initialize sound : " << url);
    delete sound;
    return false;
  }
  const int newId = largest + 1;
  sounds_[newId] = sound;
  if (id) *id = newId;
  VL_LOG_TRACE("Sound created : #" << newId);
  return true;
}

bool VLAudioInterface::deleteSound(int id) {
  VLMutexLocker locker(mutex_);
  auto it = sounds_.find(id);
  if (it == sounds_.end()) {
    VL_LOG_ERROR("Unable to find sound #" << id);
    return false;
  }
  // A read of the stream that waits for data nobody wants any more ends now,
  // so that the released stream can finish and give its file back.
  VLFileHandle* handle = it->second->getFileHandle();
  VESound* engineSound = nullptr;
  if (!it->second->clean(&engineSound)) {
    VL_LOG_ERROR("Unable to clean sound #" << id);
    return false;
  }
  if (engineSound) soundsToRelease_.push_back(engineSound);
  VLStreamSource* source = source_.load();
  if (handle && source) source->asyncStreamCancel(handle);
  delete it->second;
  sounds_.erase(it);
  VL_LOG_TRACE("Sound deleted : #" << id);
  return true;
}

bool VLAudioInterface::resetSound(int id, const std::string& url, int* newId) {
  VLMutexLocker locker(mutex_);
  auto it = sounds_.find(id);
  if (it == sounds_.end()) return false;
  VLSound::CommandList* commands = it->second->copyCommands();
  bool done = deleteSound(id) && createSound(url, newId);
  if (done) {
    VLSound* sound = nullptr;
    done = getSound(*newId, &sound);
    if (done) sound->appendCommands(commands);
  }
  VLSound::deleteCommandList(commands);
  return done;
}

bool VLAudioInterface::getSound(int id, VLSound** out) {
  VLMutexLocker locker(mutex_);
  auto it = sounds_.find(id);
  if (it == sounds_.end()) {
    VL_LOG_ERROR("Unable to find sound #" << id);
    return false;
  }
  if (out) *out = it->second;
  return true;
}

bool VLAudioInterface::allocChannel(int* slot) {
  VLMutexLocker locker(mutex_);
  if (!slot || channels_.empty()) {
    VL_LOG_ERROR("Channel data uninitialized");
    return false;
  }
  for (int index = 0; index < kChannelCount; ++index) {
    if (!channels_[index]) {
      channels_[index] = 1;
      *slot = index;
      return true;
    }
  }
  VL_LOG_ERROR("Out of channel");
  return false;
}

bool VLAudioInterface::freeChannel(int slot) {
  VLMutexLocker locker(mutex_);
  if (channels_.empty() || slot == -1) {
    VL_LOG_ERROR("Channel data uninitialized");
    return false;
  }
  if (slot < 0 || slot >= kChannelCount || !channels_[slot]) {
    VL_LOG_ERROR("Channel #" << slot << " is not allocated");
    return false;
  }
  channels_[slot] = 0;
  return true;
}

VLSound* VLAudioInterface::findOpeningSound(uint64_t serial) const {
  for (const auto& entry : sounds_) {
    if (entry.second->getStreamSerial() == serial && entry.second->isOpening()) return entry.second;
  }
  return nullptr;
}

VLSound* VLAudioInterface::findSoundByHandle(VLFileHandle* handle) const {
  for (const auto& entry : sounds_) {
    if (entry.second->getFileHandle() == handle) return entry.second;
  }
  return nullptr;
}

std::string VLAudioInterface::describeSounds(bool withHandles) const {
  std::ostringstream text;
  for (const auto& entry : sounds_) {
    text << " [" << entry.first << "] ";
    if (withHandles) text << static_cast<void*>(entry.second->getFileHandle()) << ", ";
    text << entry.second->getUrl();
  }
  return text.str();
}

// ---------------------------------------------------------------------------
// File callbacks

VLAudioInterface::CallbackUnderWay::CallbackUnderWay(VLAudioInterface* audio) : audio_(audio) {
  if (audio_) audio_->callbacksUnderWay_.fetch_add(1);
}

VLAudioInterface::CallbackUnderWay::~CallbackUnderWay() {
  if (audio_) audio_->callbacksUnderWay_.fetch_sub(1);
}

bool VLAudioInterface::hasCallbacksUnderWay() const {
  return callbacksUnderWay_.load() > 0;
}

VEResult VLAudioInterface::streamOpen(const char* name, unsigned int* fileSize, void** handle, void** userData) {
  // The engine hands every open the file system's user data: the source.
  VLStreamSource* source = userData ? sourceOf(*userData) : nullptr;
  std::shared_ptr<VLAudioInterface> self = source ? source->holdAudioInterface() : nullptr;
  const CallbackUnderWay underWay(self.get());
  const uint64_t serial = name ? std::strtoull(name, nullptr, 10) : 0;

  // The stream's name says which sound opens it; a sound deleted before its
  // stream got here has nobody to open for.
  std::string url;
  std::string currentSounds;
  std::shared_ptr<const std::atomic<bool>> wanted;
  bool known = false;
  if (self) {
    // The main thread changes the table at any time: it is read, for the
    // warning too, only under the audio lock.
    VLMutexLocker locker(self->mutex_);
    VLSound* sound = self->findOpeningSound(serial);
    if (sound) {
      url = sound->getUrl();
      wanted = sound->openWanted();
      known = true;
    } else {
      currentSounds = self->describeSounds(true);
    }
  }
  if (!known) {
    VL_LOG_WARN("Unable to assign handle to an existing sound : " << static_cast<void*>(nullptr) << ", stream "
                                                                  << (name ? name : "")
                                                                  << ", current sounds are :" << currentSounds);
    return VE_ERR_INTERNAL;
  }

  VL_LOG_TRACE("Audio engine stream open : " << url);
  size_t size = 0;
  std::string data;
  VLFileHandle* fileHandle = source->streamOpen(url, &size, &data, wanted);
  if (fileHandle && size > UINT_MAX) {
    VL_LOG_ERROR("File is too large for the audio engine : " << size << ", " << url);
    giveBackHandle(source, fileHandle);
    fileHandle = nullptr;
  }

  VLMutexLocker locker(self->mutex_);
  VLSound* sound = self->findOpeningSound(serial);
  if (!sound) {
    // Deleted, reset or restored while the worker served the open: nobody
    // will take this handle, so it goes back at once.
    VL_LOG_WARN("Unable to assign handle to an existing sound : " << static_cast<void*>(fileHandle) << ", " << url
                                                                  << ", current sounds are :"
                                                                  << self->describeSounds(true));
    giveBackHandle(source, fileHandle);
    return VE_ERR_INTERNAL;
  }
  sound->setFileHandle(fileHandle);
  sound->setData(data);
  if (!fileHandle) return VE_ERR_FILE_NOTFOUND;
  // The engine fails an empty file; the page then tells it from other failures.
  if (size == 0) sound->setEmptyFile(true);
  registerEngineHandle(fileHandle, self.get());
  *handle = fileHandle;
  *userData = source;
  *fileSize = static_cast<unsigned int>(size);
  return VE_OK;
}

VEResult VLAudioInterface::asyncStreamRead(VEReadRequest* request, void* userData) {
  VLStreamSource* source = sourceOf(userData);
  if (!source || !source->asyncStreamRead(request)) {
    VL_LOG_ERROR("Unable to read file by handle : " << request->handle);
    return VE_ERR_INTERNAL;
  }
  return VE_OK;
}

VEResult VLAudioInterface::streamClose(void* handle, void* userData) {
  VLStreamSource* source = sourceOf(userData);
  VLFileHandle* fileHandle = static_cast<VLFileHandle*>(handle);
  VL_LOG_TRACE("Audio engine stream close : " << handle);
  // Counted before the claim: a session that closes waits for every close
  // that claimed its handle before the engine gave the others back.
  std::shared_ptr<VLAudioInterface> self = source ? source->holdAudioInterface() : nullptr;
  const CallbackUnderWay underWay(self.get());
  // Given back already, after the system was closed under this stream.
  if (!claimEngineHandle(fileHandle)) return VE_OK;
  if (self) {
    VLMutexLocker locker(self->mutex_);
    VLSound* sound = self->findSoundByHandle(fileHandle);
    if (sound) sound->setFileHandle(nullptr);
  }
  if (!source || !source->streamClose(fileHandle)) {
    VL_LOG_ERROR("Unable to close file by handle : " << handle);
    return VE_ERR_INTERNAL;
  }
  return VE_OK;
}
