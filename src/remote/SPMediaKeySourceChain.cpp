#include "SPMediaKeySourceChain.h"

#include "SPGnomeMediaKeySource.h"
#include "SPMprisMediaKeySource.h"
#include "SPX11MediaKeySource.h"

SPMediaKeySourceChain::SPMediaKeySourceChain(std::vector<std::unique_ptr<SPMediaKeySource>> sources)
    : sources_(std::move(sources)),
      memberStates_(sources_.size(), kKeysGivenBack),
      memberReported_(sources_.size(), false) {}

std::unique_ptr<SPMediaKeySource> SPMediaKeySourceChain::desktop(const std::string& applicationName) {
  std::vector<std::unique_ptr<SPMediaKeySource>> sources;
  sources.push_back(std::make_unique<SPGnomeMediaKeySource>(applicationName));
  sources.push_back(std::make_unique<SPMprisMediaKeySource>(applicationName));
  sources.push_back(std::make_unique<SPX11MediaKeySource>());
  return std::make_unique<SPMediaKeySourceChain>(std::move(sources));
}

bool SPMediaKeySourceChain::open(KeyHandler keys, StateHandler states) {
  close();
  states_ = std::move(states);
  for (size_t i = 0; i < sources_.size(); ++i) {
    SPMediaKeySource* source = sources_[i].get();
    if (!source->open(keys, [this, i](State state) { memberStateChanged(i, state); })) continue;
    open_.push_back(source);
    if (source->routesKeysForTheSession()) break;
  }
  return !open_.empty();
}

void SPMediaKeySourceChain::memberStateChanged(size_t index, State state) {
  memberStates_[index] = state;
  memberReported_[index] = true;
  // Taken beats held elsewhere beats given back beats unusable.
  const State order[] = {kKeysTaken, kKeysHeldElsewhere, kKeysGivenBack, kUnusable};
  State best = kUnusable;
  for (State candidate : order) {
    bool any = false;
    for (size_t i = 0; i < sources_.size(); ++i) any = any || (memberReported_[i] && memberStates_[i] == candidate);
    if (any) {
      best = candidate;
      break;
    }
  }
  if (reported_ && best == state_) return;
  reported_ = true;
  state_ = best;
  if (states_) states_(best);
}

int SPMediaKeySourceChain::fd() const {
  for (SPMediaKeySource* source : open_) {
    if (source->fd() >= 0) return source->fd();
  }
  return -1;
}

void SPMediaKeySourceChain::dispatch() {
  for (SPMediaKeySource* source : open_) source->dispatch();
}

void SPMediaKeySourceChain::setEnabled(bool enabled) {
  for (SPMediaKeySource* source : open_) source->setEnabled(enabled);
}

void SPMediaKeySourceChain::setPlaybackStatus(PlaybackStatus status) {
  for (auto& source : sources_) source->setPlaybackStatus(status);
}

void SPMediaKeySourceChain::setPlaybackStatusReader(PlaybackStatusReader reader) {
  for (auto& source : sources_) source->setPlaybackStatusReader(reader);
}

void SPMediaKeySourceChain::applicationCameToFront() {
  for (SPMediaKeySource* source : open_) source->applicationCameToFront();
}

void SPMediaKeySourceChain::close() {
  for (SPMediaKeySource* source : open_) source->close();
  open_.clear();
  memberStates_.assign(sources_.size(), kKeysGivenBack);
  memberReported_.assign(sources_.size(), false);
  states_ = nullptr;
  reported_ = false;
}
