#include "VeloraAudio.h"

#include <algorithm>
#include <cfloat>
#include <cstdint>
#include <list>
#include <map>
#include <vector>

#include "Binding.h"
#include "BridgeHost.h"
#include "PageCall.h"
#include "PagePublication.h"
#include "VLLogger.h"

namespace {

Binding* core() {
  return Binding::instance();
}

std::string textOf(const PageValue& value) {
  return value.isString() ? value.stringValue() : value.text();
}

int soundOf(PageCall& call) {
  return call.argument(0).toInt();
}

// Sound id -> the object that made it (main thread).
std::map<int, uint64_t>& makers() {
  static std::map<int, uint64_t> makers;
  return makers;
}

uint64_t newMaker() {
  static uint64_t last = 0;
  return ++last;
}

// Milliseconds as the core takes them: never negative, at most 2^32 - 1.
unsigned millisecondsOf(const PageValue& value) {
  return static_cast<unsigned>(std::clamp<int64_t>(value.toInt64(), 0, UINT32_MAX));
}

}  // namespace

VeloraAudio::VeloraAudio() : PageObject("AudioBinding"), maker_(newMaker()) {
  const uint64_t maker = maker_;
  declareWithResult("createSound", "v", [maker](PageCall& call) {
    int id = core()->createSound(textOf(call.argument(0)));
    if (id > 0) makers()[id] = maker;
    return PageValue::number(id);
  });
  // The replacement is the caller's, whoever made the sound it replaces.
  declareWithResult("resetSound", "nv", [maker](PageCall& call) {
    int id = core()->resetSound(soundOf(call), textOf(call.argument(1)));
    makers().erase(soundOf(call));
    if (id > 0) makers()[id] = maker;
    return PageValue::number(id);
  });
  declare("deleteSound", "n", [](PageCall& call) {
    core()->deleteSound(soundOf(call));
    makers().erase(soundOf(call));
    return PageValue();
  });
  declare("play", "nnn", [](PageCall& call) {
    core()->play(soundOf(call), call.argument(1).toFlag(), call.argument(2).toInt());
    return PageValue();
  });
  declare("pause", "n", [](PageCall& call) {
    core()->pause(soundOf(call));
    return PageValue();
  });
  declareReader("getState", "n", [](PageCall& call) { return PageValue::number(core()->getState(soundOf(call))); });
  declareReader("getPlaying", "n",
                [](PageCall& call) { return PageValue::boolean(core()->getPlaying(soundOf(call))); });
  declareReader("getPaused", "n", [](PageCall& call) { return PageValue::boolean(core()->getPaused(soundOf(call))); });
  declareReader("getStarving", "n",
                [](PageCall& call) { return PageValue::boolean(core()->getStarving(soundOf(call))); });
  declareReader("getPosition", "n",
                [](PageCall& call) { return PageValue::number(core()->getPosition(soundOf(call))); });
  declare("setPosition", "nn", [](PageCall& call) {
    core()->setPosition(soundOf(call), millisecondsOf(call.argument(1)));
    return PageValue();
  });
  declareReader("getLength", "n", [](PageCall& call) { return PageValue::number(core()->getLength(soundOf(call))); });
  declareReader("getVolume", "n", [](PageCall& call) {
    return PageValue::number(static_cast<double>(core()->getVolume(soundOf(call))));
  });
  declare("setVolume", "nn", [](PageCall& call) {
    double volume = call.argument(1).toNumber();
    if (volume != volume) volume = 0;  // NaN
    core()->setVolume(soundOf(call), static_cast<float>(std::clamp<double>(volume, -FLT_MAX, FLT_MAX)));
    return PageValue();
  });
  declareReader("getMuted", "n", [](PageCall& call) { return PageValue::boolean(core()->getMuted(soundOf(call))); });
  declare("setMuted", "nn", [](PageCall& call) {
    core()->setMuted(soundOf(call), call.argument(1).toFlag());
    return PageValue();
  });
  declareReader("getRanges", "n", [](PageCall& call) {
    std::list<float> ranges;
    core()->getRanges(soundOf(call), &ranges);
    return Binding::floatsToPage(ranges);
  });
  // The sound hands its pending data over once: never retried or cached.
  declareWithResult("getPendingData", "n",
                    [](PageCall& call) { return PageValue::string(core()->getPendingData(soundOf(call))); });
}

void VeloraAudio::publicationEnded(const PagePublication& publication) {
  if (publication.frame().mainFrame) return;
  std::vector<int> made;
  for (auto it = makers().begin(); it != makers().end();) {
    if (it->second == maker_) {
      made.push_back(it->first);
      it = makers().erase(it);
    } else {
      ++it;
    }
  }
  // At quit the core has already let every sound go.
  if (made.empty() || !BridgeHost::instance().isCoreRunning()) return;
  for (int id : made) core()->deleteSound(id);
  VL_LOG_DEBUG("VeloraAudio released " + std::to_string(made.size()) + " sounds of a frame's document that is gone");
}
