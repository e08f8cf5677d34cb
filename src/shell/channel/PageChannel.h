// The application's end of the page-object channel: a private peer-to-peer
// D-Bus server that our extension in each WebKit web process connects to (its
// address goes to the extension as initialisation data). It asks the delegate
// whether a frame may have the page objects and which, carries the page's
// calls to them, and keeps the publications through which the application
// calls back into the page.
//
// Threads: start, stop and everything the delegate and the page objects see
// run on the main thread (the thread-default main context when start() was
// called must be the default one), but readers (PageObject::declareReader):
// each web process's direct calls are served on a thread of their own, which
// runs a reader at once when every earlier message of that web process has
// been handled. Connections are authenticated on the server's own thread, so
// the main thread never waits on a web process.
#pragma once

#include <gio/gio.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "PagePublication.h"

class PageChannel {
 public:
  class Delegate {
   public:
    virtual ~Delegate() = default;
    // A frame asks for the page objects. Fill the publication (objects and
    // scripts, in order) and return true, or return false to give it none.
    virtual bool publish(PagePublication& publication) = 0;
    // A message of the page's console (any page of any web view).
    virtual void consoleMessage(uint64_t page, unsigned level, const std::string& text, const std::string& source,
                                unsigned line) = 0;
    // Something went wrong on the channel; for the log.
    virtual void channelWarning(const std::string& text) = 0;
    // The publication's document went into the back/forward cache (false)
    // or came back from it (true).
    virtual void publicationShown(PagePublication& /*publication*/, bool /*shown*/) {}
  };

  explicit PageChannel(Delegate& delegate);
  ~PageChannel();  // stops
  PageChannel(const PageChannel&) = delete;
  PageChannel& operator=(const PageChannel&) = delete;

  // Opens the server on a socket in a new private folder; false (after a
  // warning to the delegate) when it cannot.
  bool start();
  // Closes every connection, ends every publication and removes the socket.
  void stop();
  // From here on every call runs on the main thread: before what the readers
  // read goes away.
  void stopDirectCalls();
  // The address for the extension; empty until started.
  const std::string& address() const { return address_; }

  // The active publication of that id; null when there is none.
  std::shared_ptr<PagePublication> publication(uint64_t id) const;
  // How many publications are active and shown (not in the back/forward cache).
  size_t shownPublicationCount() const;

 private:
  struct Connection;
  static gboolean onNewConnection(GDBusServer* server, GDBusConnection* connection, gpointer self);
  static void onClosed(GDBusConnection* connection, gboolean remotePeerVanished, GError* error, gpointer self);
  static void onMethodCall(GDBusConnection* connection, const gchar* sender, const gchar* path, const gchar* interface,
                           const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self);

  void publish(GDBusConnection* connection, GVariant* parameters, GDBusMethodInvocation* invocation);
  void call(GDBusConnection* connection, GVariant* parameters, GDBusMethodInvocation* invocation, bool wantsResult);
  void console(GVariant* parameters);
  void shown(GDBusConnection* connection, GVariant* parameters);
  void ended(GDBusConnection* connection, GVariant* parameters);
  void refused(GDBusConnection* connection, GVariant* parameters);
  void openDirectCalls(GDBusConnection* connection, GVariant* parameters, GDBusMethodInvocation* invocation);
  // On a direct-call thread: see DirectCallServer::Answer.
  unsigned answerDirect(GDBusConnection* connection, const Connection& state, uint64_t messages, GVariant* parameters,
                        GVariant** result);
  void countHandled(GDBusConnection* connection);
  // The publication of that id when it came over that connection.
  std::shared_ptr<PagePublication> publicationOf(GDBusConnection* connection, uint64_t id) const;
  void endWhere(GDBusConnection* connection, uint64_t page, uint64_t frame, bool wholePage);
  void closed(GDBusConnection* connection);

  Delegate& delegate_;
  GDBusServer* server_ = nullptr;
  std::string folder_;
  std::string address_;
  uint64_t nextPublication_ = 1;
  // Changed on the main thread only, under publicationsMutex_, which the
  // direct-call threads hold to look a publication up.
  mutable std::mutex publicationsMutex_;
  std::map<uint64_t, std::shared_ptr<PagePublication>> publications_;

  // Connections are accepted on the server's thread and used on the main one.
  // serving_ is stored (release) once everything above is set up, and loaded
  // (acquire) first on the server's thread.
  std::atomic<bool> serving_{false};
  mutable std::mutex connectionsMutex_;
  bool accepting_ = false;
  bool directCalls_ = true;                                              // main thread
  std::map<GDBusConnection*, std::unique_ptr<Connection>> connections_;  // each key holds a reference
};
