#pragma once

#include <map>

#include <glib.h>

#include "HIDRemoteTimers.h"

// The remote's timers on the main context of the thread that starts them
// (GLib's thread-default context, else the global default).
class HIDRemoteMainContextTimers : public HIDRemoteTimers {
 public:
  ~HIDRemoteMainContextTimers() override;
  unsigned start(unsigned milliseconds, std::function<void()> fired) override;
  void cancel(unsigned id) override;

 private:
  static gboolean fire(gpointer data);

  std::map<unsigned, GSource*> pending_;  // one reference each
  unsigned nextId_ = 0;
};
