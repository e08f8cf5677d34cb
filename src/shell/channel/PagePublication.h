// One frame's document that was given the page objects: which objects and
// scripts it got, in order, and the way back into it. Made by the channel when
// a frame asks; replaced when that frame (or the main frame of its page) starts
// another document, and ended when its web process goes away.
//
// Threads: main thread only. Calls into the page are queued on the page's
// connection without waiting, in the order made; once the publication has
// ended they are dropped.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "PageValue.h"

class PageObject;
typedef struct _GDBusConnection GDBusConnection;
typedef struct _GVariant GVariant;

class PagePublication : public std::enable_shared_from_this<PagePublication> {
 public:
  // The frame that asked: its page (the web view's page id), its frame id,
  // whether it is the page's main frame, its address and its origin as the
  // document gives it (scheme://host[:port], "null" when opaque).
  struct Frame {
    uint64_t page = 0;
    uint64_t frame = 0;
    bool mainFrame = false;
    std::string uri;
    std::string origin;
  };

  // connection: referenced until the publication ends.
  PagePublication(uint64_t id, const Frame& frame, GDBusConnection* connection);
  ~PagePublication();
  PagePublication(const PagePublication&) = delete;
  PagePublication& operator=(const PagePublication&) = delete;

  uint64_t id() const { return id_; }
  const Frame& frame() const { return frame_; }
  // True until the frame moves on or its web process goes away.
  bool isActive() const { return connection_ != nullptr; }
  // False while the document rests in the back/forward cache: it is not what
  // its frame shows, and nothing should be sent to it (the extension drops
  // what comes).
  bool isShown() const { return shown_; }
  void setShown(bool shown) { shown_ = shown; }

  // What the frame gets, in order: publishes the object under its name, then
  // runs the script (when not empty) in that frame.
  void addObject(std::shared_ptr<PageObject> object, std::string scriptAfter = "");
  // Runs a script in the frame, after what was added before.
  void addScript(std::string script);
  // The object published under that name; null when there is none.
  PageObject* object(const std::string& name) const;
  std::shared_ptr<PageObject> sharedObject(const std::string& name) const;

  // Calls window.VeloraAPI[name](...arguments) in the frame; nothing happens
  // when the page has no such method. Exceptions stay in the page.
  void callMethod(const std::string& name, const std::vector<PageValue>& arguments);
  // Runs a script in the frame; its result is ignored.
  void evaluate(const std::string& script);
  // A handle for the page function given as a call's argument.
  std::unique_ptr<class PageCallback> callback(uint64_t id);

  // For the channel: the steps as sent to the extension ("a(sa(ssb)s)"),
  // and the end of the publication.
  GVariant* steps() const;
  void end();
  GDBusConnection* connection() const { return connection_; }

 private:
  friend class PageCallback;
  bool callBack(uint64_t callback, const PageValue& argument);
  void dropCallback(uint64_t callback);
  bool send(const char* method, GVariant* parameters);

  struct Step {
    std::shared_ptr<PageObject> object;
    std::string script;
  };

  uint64_t id_;
  Frame frame_;
  GDBusConnection* connection_;
  bool shown_ = true;
  std::vector<Step> steps_;
};
