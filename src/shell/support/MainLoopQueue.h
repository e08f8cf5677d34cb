// Hands work to the main thread from any thread, without waiting: tasks run on
// the default main context, one at a time, in the order they were posted.
#pragma once

#include <deque>
#include <functional>
#include <mutex>

class MainLoopQueue {
 public:
  using Task = std::function<void()>;

  // The process-wide queue, made on first use (thread-safe); never freed.
  static MainLoopQueue& instance();

  // Any thread; returns at once. A task posted while others wait runs after
  // them, also when posted by a running task.
  void post(Task task);

 private:
  MainLoopQueue() = default;
  static int drain(void* self);

  std::mutex mutex_;
  std::deque<Task> tasks_;
  bool scheduled_ = false;
};
