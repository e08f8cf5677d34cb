// The page's sounds, published as "AudioBinding": create, play and inspect
// sounds by their integer id through the core's audio calls.
//
// Threads: main thread (the page's calls arrive there), but the getters, which
// only read the core's thread-safe sound values, run on any thread.
#pragma once

#include "PageObject.h"

class VeloraAudio : public PageObject {
 public:
  VeloraAudio();
};
