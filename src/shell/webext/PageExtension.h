// Our part of each WebKit web process: asks the application, on every
// window-object-cleared, whether the frame may have the page objects, publishes
// them with JavaScriptCore GLib, and carries their calls to the application
// over the page-object channel (see PageChannelProtocol.h).
//
// A publication lives as long as its document may run: it ends when the frame
// starts another document or goes away (a frame's document unloaded for good,
// once its unload handlers have run), or when the page goes. A document
// that WebKit keeps in its back/forward cache keeps its publication, hidden:
// nothing of the application reaches it until it is shown again, and the
// application is told of both moves. A page keeps at most kMaxHidden hidden
// publications (the cache keeps fewer documents than that).
//
// When the channel closes, every publication ends; the next document that
// asks connects again.
//
// Threads: everything runs on the web process's main thread, where WebKit
// emits its signals and where the connection dispatches the application's
// messages. A method that returns a value blocks that thread (the page's
// script) until the application answers; one-way methods are queued on the
// same connection, so the application sees every call in the page's order.
// A value-returning call is asked first on the direct-call socket, with the
// number of messages sent before it: the application answers there only what
// keeps that order, and sends the rest back to be asked on the connection.
#pragma once

#include <webkit2/webkit-web-extension.h>

#include "DirectCallClient.h"
#include "PageValueCodec.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

class PageExtension {
 public:
  // address: the application's channel address (the initialisation data).
  PageExtension(WebKitWebExtension* extension, const std::string& address);
  PageExtension(const PageExtension&) = delete;
  PageExtension& operator=(const PageExtension&) = delete;

  // Connects to the application and starts listening to WebKit; false (with a
  // warning on standard error) when the application cannot be reached: then
  // no frame of this process gets objects.
  bool start();

  static constexpr size_t kMaxHidden = 4;

 private:
  struct Publication {
    uint64_t id = 0;
    uint64_t page = 0;
    uint64_t frame = 0;
    bool mainFrame = false;
    std::string origin;               // the document's, as it gave it
    JSCContext* context = nullptr;    // owned reference
    PageValueCodec::Helpers helpers;  // owned references
    bool shown = true;                // false while in the back/forward cache
    uint64_t hiddenOrder = 0;         // when it was hidden, to give up the oldest first
  };
  class HeldFrame;
  struct KeptCallback {
    uint64_t publication = 0;
    JSCValue* function = nullptr;  // owned reference
  };
  struct MethodBinding;
  struct PageGone {
    PageExtension* extension;
    uint64_t page;
  };
  struct FrameGone {
    PageExtension* extension;
    uint64_t page;
    uint64_t frame;
  };
  struct Presence {
    PageExtension* extension;
    uint64_t publication;
  };

  static void onPageCreated(WebKitWebExtension* extension, WebKitWebPage* page, gpointer self);
  static void onPageGone(gpointer gone, GObject* page);
  static void onFrameGone(gpointer gone, GObject* frame);
  static void onPresence(gboolean shown, gboolean persisted, gpointer presence);
  static void onWindowObjectCleared(WebKitScriptWorld* world, WebKitWebPage* page, WebKitFrame* frame, gpointer self);
  static void onConsoleMessage(WebKitWebPage* page, WebKitConsoleMessage* message, gpointer self);
  static JSCValue* onMethodCalled(GPtrArray* arguments, gpointer binding);
  static void onMessage(GDBusConnection* connection, const gchar* sender, const gchar* path, const gchar* interface,
                        const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self);
  static void onClosed(GDBusConnection* connection, gboolean remotePeerVanished, GError* error, gpointer self);

  bool connect();
  void windowObjectCleared(WebKitWebPage* page, WebKitFrame* frame);
  void watchFrame(WebKitFrame* frame, uint64_t page, uint64_t frameId);
  void listenForHistory(const Publication& publication);
  void setShown(uint64_t id, bool shown);
  void dropUnloaded(uint64_t id);
  void hideOldest(uint64_t page);
  void sendOneWay(const char* method, GVariant* parameters);
  void sendPaced(GDBusMessage* message, const std::string& what);
  void publish(const Publication& publication, GVariant* steps);
  JSCValue* makeObject(const Publication& publication, const char* name, GVariantIter* methods);
  JSCValue* call(MethodBinding& binding, GPtrArray* arguments);
  // The value-returning call's reply "(v)", or null (after a warning).
  GVariant* askValue(MethodBinding& binding, GVariant* parameters);
  void openDirectCalls();
  void sendConsole(WebKitWebPage* page, WebKitConsoleMessage* message);
  // The page's main document with the page objects (the player), shown; null when none.
  const Publication* shownPlayer(uint64_t page) const;

  void callMethod(uint64_t publication, const char* name, GVariant* arguments);
  void callBack(uint64_t callback, GVariant* value);
  void evaluate(uint64_t publication, const char* script);
  static void evaluateIn(JSCContext* context, const char* script, const char* source);

  uint64_t keep(uint64_t publication, JSCValue* function);
  void dropCallback(uint64_t id);
  void dropCallbacks(uint64_t publication);
  void dropPublication(uint64_t id);
  // With shownOnly, hidden publications (documents in the back/forward
  // cache) stay.
  void dropPage(uint64_t page, bool shownOnly);
  void dropFrame(uint64_t page, uint64_t frame, bool shownOnly);
  void dropAll();
  Publication* find(uint64_t id);

  WebKitWebExtension* extension_;
  std::string address_;
  GDBusConnection* connection_ = nullptr;
  unsigned unanswered_ = 0;  // messages sent without answer since the last answer
  uint64_t sent_ = 0;        // one-way messages sent on connection_, for the direct calls' order
  DirectCallClient direct_;
  bool unreachableSaid_ = false;
  std::map<uint64_t, Publication> publications_;
  std::map<uint64_t, KeptCallback> callbacks_;
  uint64_t nextCallback_ = 1;
  uint64_t hiddenCount_ = 0;
  std::set<uint64_t> watchedFrames_;
};
