// One call of a page object's method, as its handler sees it.
//
// Threads: main thread only.
#pragma once

#include <memory>
#include <vector>

#include "PageValue.h"

class PageCallback;
class PagePublication;
typedef struct _GDBusMethodInvocation GDBusMethodInvocation;

// The answer to a value-returning call that its handler gives later (after a
// modal dialog, for instance). The page waits until it is given; one that is
// dropped unanswered gives the page undefined.
class PageAnswer {
 public:
  explicit PageAnswer(GDBusMethodInvocation* invocation);  // takes the invocation
  ~PageAnswer();
  PageAnswer(const PageAnswer&) = delete;
  PageAnswer& operator=(const PageAnswer&) = delete;
  // Hands the result to the page; later calls do nothing.
  void answer(const PageValue& result);

 private:
  GDBusMethodInvocation* invocation_;
};

class PageCall {
 public:
  // invocation: the call's reply, for value-returning calls; null otherwise.
  PageCall(std::shared_ptr<PagePublication> publication, std::vector<PageValue> arguments,
           GDBusMethodInvocation* invocation);

  // Argument i as the method's kinds took it; undefined past the end.
  const PageValue& argument(size_t index) const;
  size_t argumentCount() const { return arguments_.size(); }
  // The frame's document that made the call.
  const std::shared_ptr<PagePublication>& publication() const { return publication_; }
  // A handle for the function given as argument i; null when it is no function.
  std::unique_ptr<PageCallback> callback(size_t index) const;

  // For value-returning calls: the handler answers later through the returned
  // object instead of by its result. Null for one-way calls and when already
  // deferred.
  std::unique_ptr<PageAnswer> defer();
  // For the channel: the invocation still to be answered, or null.
  GDBusMethodInvocation* takeInvocation();

 private:
  std::shared_ptr<PagePublication> publication_;
  std::vector<PageValue> arguments_;
  GDBusMethodInvocation* invocation_;
};
