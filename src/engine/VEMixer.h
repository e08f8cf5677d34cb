// The mixer (being built).
#pragma once
class VEMixer {
 public:
  VEMixer() = default;
};
