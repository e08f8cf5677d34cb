// A page function handed over as the argument of a call. The function itself
// stays in the web process; this handle calls it there by id.
//
// Threads: main thread only (it sends on the page's connection).
#pragma once

#include <cstdint>
#include <memory>

#include "PageValue.h"

class PagePublication;

class PageCallback {
 public:
  // id 0 stands for an argument that was no function: it calls nothing.
  PageCallback(std::weak_ptr<PagePublication> publication, uint64_t id);
  // A callback that was never called is released in the web process.
  ~PageCallback();
  PageCallback(const PageCallback&) = delete;
  PageCallback& operator=(const PageCallback&) = delete;

  // Calls the page function once, with one argument and no this-object,
  // without waiting. Returns false, calling nothing, when it was called
  // before or when its page has since loaded another document (the answer is
  // dropped). Exceptions thrown by the function stay in the page.
  bool call(const PageValue& argument);
  bool isFunction() const { return id_ != 0; }

 private:
  std::weak_ptr<PagePublication> publication_;
  uint64_t id_;
  bool done_ = false;
};
