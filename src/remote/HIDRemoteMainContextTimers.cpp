#include "HIDRemoteMainContextTimers.h"

namespace {

struct Pending {
  HIDRemoteMainContextTimers* timers;
  unsigned id;
  std::function<void()> fired;
};

}  // namespace

HIDRemoteMainContextTimers::~HIDRemoteMainContextTimers() {
  while (!pending_.empty()) cancel(pending_.begin()->first);
}

unsigned HIDRemoteMainContextTimers::start(unsigned milliseconds, std::function<void()> fired) {
  unsigned id = ++nextId_;
  GMainContext* context = g_main_context_get_thread_default();
  GSource* timer = g_timeout_source_new(milliseconds);
  g_source_set_callback(timer, fire, new Pending{this, id, std::move(fired)},
                        [](gpointer data) { delete static_cast<Pending*>(data); });
  g_source_attach(timer, context ? context : g_main_context_default());
  pending_[id] = timer;
  return id;
}

gboolean HIDRemoteMainContextTimers::fire(gpointer data) {
  auto* pending = static_cast<Pending*>(data);
  auto it = pending->timers->pending_.find(pending->id);
  if (it != pending->timers->pending_.end()) {
    g_source_unref(it->second);  // the context keeps the source alive while it runs
    pending->timers->pending_.erase(it);
  }
  pending->fired();
  return G_SOURCE_REMOVE;
}

void HIDRemoteMainContextTimers::cancel(unsigned id) {
  auto it = pending_.find(id);
  if (it == pending_.end()) return;
  g_source_destroy(it->second);
  g_source_unref(it->second);
  pending_.erase(it);
}
