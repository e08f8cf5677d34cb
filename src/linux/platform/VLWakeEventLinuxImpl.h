#pragma once

#include "VLWakeEvent.h"

// A wake event on a non-blocking eventfd: a signal adds to its counter, a
// wait polls it and reads the counter back to zero. When the eventfd cannot
// be made (no descriptors left), waits sleep their whole time and signals do
// nothing: the waiting thread then paces itself by its time-outs, as it did
// before it had events.
class VLWakeEventLinuxImpl : public VLWakeEvent {
 public:
  VLWakeEventLinuxImpl();
  ~VLWakeEventLinuxImpl() override;

  void signal() override;
  bool wait(uint64_t milliseconds) override;
  int getDescriptor() override { return descriptor_; }
  bool take() override;

 private:
  int descriptor_;
};
