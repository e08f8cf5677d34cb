// A native object published on the page's window: a name and the methods the
// page may call, each declared with how its arguments are taken from the page
// and whether the page waits for a result. Bridge objects derive from it and
// declare their methods in their constructor.
//
// Threads: declared before publication; methods are called on the main thread,
// readers on any thread.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "PageValue.h"

class PageCall;
class PagePublication;

class PageObject {
 public:
  // Runs one page call; the result is handed to the page by methods that
  // return a value (unless the call was deferred) and dropped otherwise.
  using Handler = std::function<PageValue(PageCall& call)>;

  struct Method {
    std::string name;
    // One character per argument (see PageChannelProtocol.h): 'v' the value
    // as it is, 's' text as String(v) gives it (null and undefined as ""),
    // 'n' a number as Number(v) gives it, 'f' a callback function.
    std::string kinds;
    bool returnsValue = false;
    Handler handler;
    // A reader (see declareReader): the channel may run it on its own thread.
    bool anyThread = false;
  };

  explicit PageObject(std::string name) : name_(std::move(name)) {}
  virtual ~PageObject() = default;
  PageObject(const PageObject&) = delete;
  PageObject& operator=(const PageObject&) = delete;

  // The window property the object is published under.
  const std::string& name() const { return name_; }
  const std::vector<Method>& methods() const { return methods_; }
  // The method of that page name; null when there is none.
  const Method* find(const std::string& name) const;
  // The publication that carried the object has ended: its document is
  // gone, or its frame or web process. On the main thread.
  virtual void publicationEnded(const PagePublication& /*publication*/) {}

 protected:
  // A method the page calls without waiting: its calls reach the application
  // in the page's order, also relative to value-returning ones.
  void declare(std::string name, std::string kinds, Handler handler);
  // A method whose result the page waits for.
  void declareWithResult(std::string name, std::string kinds, Handler handler);
  // A method whose result the page waits for and whose handler only reads
  // state that any thread may read (never GTK, never main-thread state): the
  // channel answers it on its own thread once every earlier call of the page
  // has been handled, or on the main thread. Its call has no publication
  // and cannot be deferred; the object may be released on that thread.
  void declareReader(std::string name, std::string kinds, Handler handler);

 private:
  std::string name_;
  std::vector<Method> methods_;
};
