// Our part of each WebKit web process: asks the application, on every
// window-object-cleared, whether the frame may have the page objects, publishes
// them with JavaScriptCore GLib, and carries their calls to the application
// over the page-object channel (see PageChannelProtocol.h).
//
// Threads: everything runs on the web process's main thread, where WebKit
// emits its signals and where the connection dispatches the application's
// messages. A method that returns a value blocks that thread (the page's
// script) until the application answers; one-way methods are queued on the
// same connection, so the application sees every call in the page's order.
#pragma once

#include <webkit2/webkit-web-extension.h>

#include "PageValueCodec.h"

#include <cstdint>
#include <map>
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

 private:
  struct Publication {
    uint64_t id = 0;
    uint64_t page = 0;
    uint64_t frame = 0;
    JSCContext* context = nullptr;     // owned reference
    PageValueCodec::Helpers helpers;    // owned references
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

  static void onPageCreated(WebKitWebExtension* extension, WebKitWebPage* page, gpointer self);
  static void onPageGone(gpointer gone, GObject* page);
  static void onWindowObjectCleared(WebKitScriptWorld* world, WebKitWebPage* page, WebKitFrame* frame, gpointer self);
  static void onConsoleMessage(WebKitWebPage* page, WebKitConsoleMessage* message, gpointer self);
  static JSCValue* onMethodCalled(GPtrArray* arguments, gpointer binding);
  static void onMessage(GDBusConnection* connection, const gchar* sender, const gchar* path, const gchar* interface,
                        const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self);
  static void onClosed(GDBusConnection* connection, gboolean remotePeerVanished, GError* error, gpointer self);

  void windowObjectCleared(WebKitWebPage* page, WebKitFrame* frame);
  void publish(const Publication& publication, GVariant* steps);
  JSCValue* makeObject(const Publication& publication, const char* name, GVariantIter* methods);
  JSCValue* call(const MethodBinding& binding, GPtrArray* arguments);
  void sendConsole(uint64_t page, WebKitConsoleMessage* message);

  void callMethod(uint64_t publication, const char* name, GVariant* arguments);
  void callBack(uint64_t callback, GVariant* value);
  void evaluate(uint64_t publication, const char* script);
  static void evaluateIn(JSCContext* context, const char* script, const char* source);

  uint64_t keep(uint64_t publication, JSCValue* function);
  void dropCallbacks(uint64_t publication);
  void dropPublication(uint64_t id);
  void dropPage(uint64_t page);
  void dropFrame(uint64_t page, uint64_t frame);
  void dropAll();
  Publication* find(uint64_t id);

  WebKitWebExtension* extension_;
  std::string address_;
  GDBusConnection* connection_ = nullptr;
  std::map<uint64_t, Publication> publications_;
  std::map<uint64_t, KeptCallback> callbacks_;
  uint64_t nextCallback_ = 1;
};
