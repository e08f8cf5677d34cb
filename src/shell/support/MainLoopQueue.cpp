#include "MainLoopQueue.h"

#include <glib.h>

MainLoopQueue& MainLoopQueue::instance() {
  static MainLoopQueue* queue = new MainLoopQueue();
  return *queue;
}

void MainLoopQueue::post(Task task) {
  std::lock_guard<std::mutex> lock(mutex_);
  tasks_.push_back(std::move(task));
  if (scheduled_) return;
  scheduled_ = true;
  // One idle source drains the whole queue: the order is ours, not the
  // main loop's.
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(source, reinterpret_cast<GSourceFunc>(drain), this, nullptr);
  g_source_attach(source, g_main_context_default());
  g_source_unref(source);
}

int MainLoopQueue::drain(void*) {
  // Reached through instance() rather than the source's data, so that the
  // thread sanitizer sees the object's making before its use here.
  MainLoopQueue* self = &instance();
  for (;;) {
    Task task;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      if (self->tasks_.empty()) {
        self->scheduled_ = false;
        return G_SOURCE_REMOVE;
      }
      task = std::move(self->tasks_.front());
      self->tasks_.pop_front();
    }
    task();
  }
}
