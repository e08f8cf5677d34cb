// The page's sounds, published as "AudioBinding": create, play and inspect
// sounds by their integer id through the core's audio calls.
//
// Each sound holds an engine stream and its thread, so the sounds a frame's
// document made go with that document. The main frame's stay: the player
// keeps its sounds across its own reload (the next load's object takes them
// over by id).
//
// Threads: main thread (the page's calls arrive there), but the getters, which
// only read the core's thread-safe sound values, run on any thread.
#pragma once

#include <cstdint>

#include "PageObject.h"

class VeloraAudio : public PageObject {
 public:
  VeloraAudio();

  void publicationEnded(const PagePublication& publication) override;

 private:
  // Which object made each live sound: ids are the core's, shared by every
  // document, and given again once free.
  const uint64_t maker_;
};
