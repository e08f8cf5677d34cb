#include "PageExtension.h"

#include "PageChannelProtocol.h"
#include "PageValueCodec.h"
#include "SavedPageRedirect.h"

#include <gio/gunixfdlist.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace P = PageChannelProtocol;

struct PageExtension::MethodBinding {
  PageExtension* extension;
  uint64_t publication;
  std::string object;
  std::string method;
  std::string kinds;
  bool returnsValue;
  bool direct = true;  // asked on the direct-call socket first
};

// What a call needs of a publication, held for the call's length: page code
// that runs meanwhile (getters, callbacks) may end the publication.
class PageExtension::HeldFrame {
 public:
  explicit HeldFrame(const Publication& publication)
      : context_(JSC_CONTEXT(g_object_ref(publication.context))), helpers_(publication.helpers) {
    helpers_.ref();
  }
  ~HeldFrame() {
    helpers_.unref();
    g_object_unref(context_);
  }
  HeldFrame(const HeldFrame&) = delete;
  HeldFrame& operator=(const HeldFrame&) = delete;
  JSCContext* context() const { return context_; }
  PageValueCodec codec() const { return PageValueCodec(context_, helpers_); }

 private:
  JSCContext* context_;
  PageValueCodec::Helpers helpers_;
};

namespace {

GDBusNodeInfo* pageInterfaceInfo() {
  static GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(P::kPageIntrospection, nullptr);
  return info;
}

void clearException(JSCContext* context) {
  JSCException* exception = jsc_context_get_exception(context);
  if (exception == nullptr) return;
  char* report = jsc_exception_report(exception);
  g_message("page script failed: %s", report != nullptr ? report : "");
  g_free(report);
  jsc_context_clear_exception(context);
}

// The text of what the script gives ("" when it fails), as textOf gives it.
char* evaluateText(JSCContext* context, const char* script) {
  JSCValue* value = jsc_context_evaluate(context, script, -1);
  char* text = PageValueCodec::textOf(context, value);
  if (value != nullptr) g_object_unref(value);
  clearException(context);
  return text;
}

unsigned consoleLevel(WebKitConsoleMessageLevel level) {
  switch (level) {
    case WEBKIT_CONSOLE_MESSAGE_LEVEL_INFO: return P::kConsoleInfo;
    case WEBKIT_CONSOLE_MESSAGE_LEVEL_WARNING: return P::kConsoleWarning;
    case WEBKIT_CONSOLE_MESSAGE_LEVEL_ERROR: return P::kConsoleError;
    case WEBKIT_CONSOLE_MESSAGE_LEVEL_DEBUG: return P::kConsoleDebug;
    case WEBKIT_CONSOLE_MESSAGE_LEVEL_LOG:
    default: return P::kConsoleLog;
  }
}

GVariant* validString(const char* text) {
  gchar* valid = g_utf8_make_valid(text != nullptr ? text : "", -1);
  GVariant* v = g_variant_new_string(valid);
  g_free(valid);
  return v;
}

// A console text longer than the application logs goes cut, with the length
// it had: a page's lines of megabytes never cross whole.
GVariant* consoleText(const char* text) {
  size_t length = text != nullptr ? strlen(text) : 0;
  if (length <= P::kConsoleTextBytes) return validString(text);
  // A character cut in two at the end becomes U+FFFD.
  gchar* kept = g_utf8_make_valid(text, static_cast<gssize>(P::kConsoleTextBytes));
  std::string cut = std::string(kept) + " [" + std::to_string(length) + " bytes, cut]";
  g_free(kept);
  return g_variant_new_string(cut.c_str());
}

}  // namespace

PageExtension::PageExtension(WebKitWebExtension* extension, const std::string& address)
    : extension_(extension), address_(address) {}

bool PageExtension::start() {
  bool connected = connect();
  // Listening even without the application: the next document asks again.
  g_signal_connect(extension_, "page-created", G_CALLBACK(onPageCreated), this);
  g_signal_connect(webkit_script_world_get_default(), "window-object-cleared", G_CALLBACK(onWindowObjectCleared), this);
  return connected;
}

bool PageExtension::connect() {
  GError* error = nullptr;
  connection_ = g_dbus_connection_new_for_address_sync(address_.c_str(), G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT,
                                                       nullptr, nullptr, &error);
  if (connection_ == nullptr) {
    // Said once: every later document tries again.
    if (!unreachableSaid_) {
      g_warning("page objects disabled: cannot reach the application at %s: %s", address_.c_str(), error->message);
    }
    unreachableSaid_ = true;
    g_error_free(error);
    return false;
  }
  unreachableSaid_ = false;
  static const GDBusInterfaceVTable vtable = {onMessage, nullptr, nullptr, {nullptr}};
  guint registration = g_dbus_connection_register_object(connection_, P::kPagePath, pageInterfaceInfo()->interfaces[0],
                                                         &vtable, this, nullptr, &error);
  if (registration == 0) {
    g_warning("page objects disabled: %s", error->message);
    g_error_free(error);
    g_object_unref(connection_);
    connection_ = nullptr;
    return false;
  }
  g_signal_connect(connection_, "closed", G_CALLBACK(onClosed), this);
  sent_ = 0;
  openDirectCalls();
  return true;
}

// Without fd passing (or a socket pair) every call goes over the connection.
void PageExtension::openDirectCalls() {
  if ((g_dbus_connection_get_capabilities(connection_) & G_DBUS_CAPABILITY_FLAGS_UNIX_FD_PASSING) == 0) return;
  int applicationEnd = direct_.open();
  if (applicationEnd < 0) return;
  GUnixFDList* fds = g_unix_fd_list_new();
  gint index = g_unix_fd_list_append(fds, applicationEnd, nullptr);
  close(applicationEnd);
  GDBusMessage* message =
      g_dbus_message_new_method_call(nullptr, P::kApplicationPath, P::kApplicationInterface, "DirectCalls");
  g_dbus_message_set_body(message, g_variant_new("(h)", index));
  g_dbus_message_set_unix_fd_list(message, fds);
  if (index < 0) {
    g_warning("value calls go over the page-object channel: no descriptor to hand over");
    direct_.close();
  } else {
    sendPaced(message, "DirectCalls");
  }
  g_object_unref(message);
  g_object_unref(fds);
}

void PageExtension::onPageCreated(WebKitWebExtension*, WebKitWebPage* page, gpointer self) {
  g_signal_connect(page, "console-message-sent", G_CALLBACK(onConsoleMessage), self);
  // The page's id cannot be asked of it once it is being finalised.
  g_object_weak_ref(G_OBJECT(page), onPageGone,
                    new PageGone{static_cast<PageExtension*>(self), webkit_web_page_get_id(page)});
}

void PageExtension::onPageGone(gpointer data, GObject*) {
  auto* gone = static_cast<PageGone*>(data);
  gone->extension->dropPage(gone->page, false);
  delete gone;
}

// A frame of a page that is gone, or one removed from its document: what was
// published into it can no longer be reached.
void PageExtension::onFrameGone(gpointer data, GObject*) {
  auto* gone = static_cast<FrameGone*>(data);
  gone->extension->watchedFrames_.erase(gone->frame);
  gone->extension->dropFrame(gone->page, gone->frame, false);
  delete gone;
}

void PageExtension::watchFrame(WebKitFrame* frame, uint64_t page, uint64_t frameId) {
  if (!watchedFrames_.insert(frameId).second) return;
  g_object_weak_ref(G_OBJECT(frame), onFrameGone, new FrameGone{this, page, frameId});
}

void PageExtension::onWindowObjectCleared(WebKitScriptWorld*, WebKitWebPage* page, WebKitFrame* frame, gpointer self) {
  static_cast<PageExtension*>(self)->windowObjectCleared(page, frame);
}

void PageExtension::windowObjectCleared(WebKitWebPage* page, WebKitFrame* frame) {
  uint64_t pageId = webkit_web_page_get_id(page);
  uint64_t frameId = webkit_frame_get_id(frame);
  bool mainFrame = webkit_frame_is_main_frame(frame);
  // The frame starts another document: whatever the previous one had is gone,
  // and with the main frame's document go those of all its frames; documents
  // kept in the back/forward cache keep theirs.
  if (mainFrame) {
    dropPage(pageId, true);
  } else {
    dropFrame(pageId, frameId, true);
  }
  // A channel that closed (the application refused a message) is opened
  // again for the next document.
  if (connection_ == nullptr && !connect()) return;

  JSCContext* context = webkit_frame_get_js_context(frame);
  if (context == nullptr) return;
  // The document's own origin (its security origin, not its address's):
  // scheme, host and port, "null" for opaque ones such as sandboxed frames.
  // And the document's own address: the frame's is the one it is loading,
  // which a new frame's first empty document (about:blank, of its parent's
  // origin) would claim too. No script of the page has run in this window yet.
  char* origin = evaluateText(context, "self.origin");
  char* address = evaluateText(context, "document.URL");

  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(
      connection_, nullptr, P::kApplicationPath, P::kApplicationInterface, "Publish",
      g_variant_new("(ttb@s@s)", static_cast<guint64>(pageId), static_cast<guint64>(frameId), mainFrame,
                    validString(address), validString(origin)),
      G_VARIANT_TYPE("(ta(sa(ssb)s))"), G_DBUS_CALL_FLAGS_NONE, G_MAXINT, nullptr, &error);
  std::string documentOrigin = origin;
  g_free(address);
  g_free(origin);
  if (reply == nullptr) {
    g_warning("cannot ask the application about a frame: %s", error->message);
    g_error_free(error);
    g_object_unref(context);
    return;
  }
  guint64 id = 0;
  GVariant* steps = nullptr;
  g_variant_get(reply, "(t@a(sa(ssb)s))", &id, &steps);
  if (id != 0) {
    Publication& publication = publications_[id];
    publication.id = id;
    publication.page = pageId;
    publication.frame = frameId;
    publication.mainFrame = mainFrame;
    publication.origin = documentOrigin;
    publication.context = context;
    JSCValue* helpers = jsc_context_evaluate(context, PageValueCodec::kHelpersSource, -1);
    publication.helpers = PageValueCodec::helpersOf(helpers);
    if (helpers != nullptr) g_object_unref(helpers);
    clearException(context);
    watchFrame(frame, pageId, frameId);
    listenForHistory(publication);
    publish(publication, steps);
  } else {
    g_object_unref(context);
  }
  g_variant_unref(steps);
  g_variant_unref(reply);
}

void PageExtension::publish(const Publication& publication, GVariant* steps) {
  GVariantIter iter;
  g_variant_iter_init(&iter, steps);
  const char* name = nullptr;
  GVariantIter* methods = nullptr;
  const char* script = nullptr;
  int step = 0;
  while (g_variant_iter_next(&iter, "(&sa(ssb)&s)", &name, &methods, &script)) {
    ++step;
    if (*name != '\0') {
      JSCValue* object = makeObject(publication, name, methods);
      jsc_context_set_value(publication.context, name, object);
      g_object_unref(object);
    }
    g_variant_iter_free(methods);
    if (*script != '\0') {
      gchar* source = g_strdup_printf("velora-desktop:///page-objects/%d/%s", step, *name != '\0' ? name : "script");
      evaluateIn(publication.context, script, source);
      g_free(source);
    }
  }
}

// The page's history moves whole documents in and out of WebKit's
// back/forward cache without clearing their windows: the trusted pagehide and
// pageshow events that say so are heard before any script of the page can
// listen (capturing, on the window itself), with the functions they need
// taken before the page could replace them.
void PageExtension::listenForHistory(const Publication& publication) {
  static const char* kListenSource =
      "(function (persisted, listen) { return function (notify) {"
      "  function on(shown) { return function (event) { if (event.isTrusted) notify(shown, persisted.call(event)); }; }"
      "  listen.call(self, 'pagehide', on(false), true);"
      "  listen.call(self, 'pageshow', on(true), true);"
      "}; })(Object.getOwnPropertyDescriptor(PageTransitionEvent.prototype, 'persisted').get,"
      "      EventTarget.prototype.addEventListener)";
  JSCValue* listen = jsc_context_evaluate(publication.context, kListenSource, -1);
  clearException(publication.context);
  if (listen == nullptr || !jsc_value_is_function(listen)) {
    if (listen != nullptr) g_object_unref(listen);
    return;
  }
  JSCValue* notify = jsc_value_new_function(
      publication.context, nullptr, G_CALLBACK(onPresence), new Presence{this, publication.id},
      [](gpointer data) { delete static_cast<Presence*>(data); }, G_TYPE_NONE, 2, G_TYPE_BOOLEAN, G_TYPE_BOOLEAN);
  JSCValue* result = jsc_value_function_call(listen, JSC_TYPE_VALUE, notify, G_TYPE_NONE);
  if (result != nullptr) g_object_unref(result);
  clearException(publication.context);
  g_object_unref(notify);
  g_object_unref(listen);
}

void PageExtension::onPresence(gboolean shown, gboolean persisted, gpointer data) {
  auto* presence = static_cast<Presence*>(data);
  if (persisted) {
    presence->extension->setShown(presence->publication, shown != FALSE);
  } else if (!shown) {
    presence->extension->dropUnloaded(presence->publication);
  }
  // A first show is no news.
}

// A frame's document unloaded for good (the frame removed, or going to
// another document): its publication ends once the unload handlers, which
// may still call the objects, have run. A main frame's ends with the next
// document's window, or with the page.
void PageExtension::dropUnloaded(uint64_t id) {
  Publication* publication = find(id);
  if (publication == nullptr || publication->mainFrame) return;
  g_idle_add_full(
      G_PRIORITY_DEFAULT,
      [](gpointer data) -> gboolean {
        auto* presence = static_cast<Presence*>(data);
        presence->extension->dropPublication(presence->publication);
        return G_SOURCE_REMOVE;
      },
      new Presence{this, id}, [](gpointer data) { delete static_cast<Presence*>(data); });
}

void PageExtension::setShown(uint64_t id, bool shown) {
  Publication* publication = find(id);
  if (publication == nullptr || publication->shown == shown) return;
  publication->shown = shown;
  publication->hiddenOrder = shown ? 0 : ++hiddenCount_;
  sendOneWay("Shown", g_variant_new("(tb)", static_cast<guint64>(id), shown));
  if (!shown) hideOldest(publication->page);
}

// Gives up the oldest hidden publications of a page beyond kMaxHidden.
void PageExtension::hideOldest(uint64_t page) {
  for (;;) {
    std::vector<std::pair<uint64_t, uint64_t>> hidden;  // order, id
    for (const auto& entry : publications_) {
      if (entry.second.page == page && !entry.second.shown) hidden.emplace_back(entry.second.hiddenOrder, entry.first);
    }
    if (hidden.size() <= kMaxHidden) return;
    std::sort(hidden.begin(), hidden.end());
    dropPublication(hidden.front().second);
  }
}

void PageExtension::sendOneWay(const char* method, GVariant* parameters) {
  g_variant_ref_sink(parameters);
  if (connection_ != nullptr && !g_dbus_connection_is_closed(connection_)) {
    GDBusMessage* message =
        g_dbus_message_new_method_call(nullptr, P::kApplicationPath, P::kApplicationInterface, method);
    g_dbus_message_set_body(message, parameters);
    sendPaced(message, method);
    g_object_unref(message);
  }
  g_variant_unref(parameters);
}

// A message without answer waits in this process (and then in the
// application) until the application has taken it: a page calling in a loop
// would pile up without bound, and its next answered call would wait behind
// the pile. So every kOneWayWindow-th one waits for the application's answer,
// which comes once it has taken every message before it.
// Counted for the direct calls' order too: a call the extension waited for
// (Publish, Call, or a paced message here) was handled anyway once answered.
void PageExtension::sendPaced(GDBusMessage* message, const std::string& what) {
  ++sent_;
  GError* error = nullptr;
  if (++unanswered_ < P::kOneWayWindow) {
    g_dbus_message_set_flags(message, G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED);
    if (!g_dbus_connection_send_message(connection_, message, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, &error)) {
      g_warning("cannot tell the application %s: %s", what.c_str(), error->message);
      g_error_free(error);
    }
    return;
  }
  unanswered_ = 0;
  GDBusMessage* reply = g_dbus_connection_send_message_with_reply_sync(
      connection_, message, G_DBUS_SEND_MESSAGE_FLAGS_NONE, G_MAXINT, nullptr, nullptr, &error);
  if (reply == nullptr) {
    g_warning("cannot tell the application %s: %s", what.c_str(), error->message);
    g_error_free(error);
    return;
  }
  g_object_unref(reply);
}

JSCValue* PageExtension::makeObject(const Publication& publication, const char* name, GVariantIter* methods) {
  JSCValue* object = jsc_value_new_object(publication.context, nullptr, nullptr);
  const char* method = nullptr;
  const char* kinds = nullptr;
  gboolean returnsValue = FALSE;
  while (g_variant_iter_next(methods, "(&s&sb)", &method, &kinds, &returnsValue)) {
    auto* binding = new MethodBinding{this, publication.id, name, method, kinds, returnsValue != FALSE};
    JSCValue* function = jsc_value_new_function_variadic(
        publication.context, method, G_CALLBACK(onMethodCalled), binding,
        [](gpointer data) { delete static_cast<MethodBinding*>(data); }, JSC_TYPE_VALUE);
    jsc_value_object_set_property(object, method, function);
    g_object_unref(function);
  }
  return object;
}

JSCValue* PageExtension::onMethodCalled(GPtrArray* arguments, gpointer data) {
  auto* binding = static_cast<MethodBinding*>(data);
  return binding->extension->call(*binding, arguments);
}

JSCValue* PageExtension::call(MethodBinding& binding, GPtrArray* arguments) {
  Publication* publication = find(binding.publication);
  if (publication == nullptr || connection_ == nullptr) {
    // The frame has moved on, or the application is gone.
    JSCContext* current = jsc_context_get_current();
    return current != nullptr ? jsc_value_new_undefined(current) : nullptr;
  }
  // Page code may run while the arguments are read (getters, toString), so
  // hold what this call needs rather than the table entry.
  uint64_t publicationId = publication->id;
  HeldFrame held(*publication);
  PageValueCodec codec = held.codec();
  std::vector<uint64_t> keptHere;
  GVariant* encoded =
      codec.encodeArguments(arguments, binding.kinds.c_str(), [this, publicationId, &keptHere](JSCValue* function) {
        keptHere.push_back(keep(publicationId, function));
        return keptHere.back();
      });
  if (codec.overBudget()) {
    // Too much for one message: this call fails alone, the channel stays.
    g_variant_unref(g_variant_ref_sink(encoded));
    for (uint64_t id : keptHere) dropCallback(id);
    sendOneWay("Refused", g_variant_new("(tsss)", static_cast<guint64>(publicationId), binding.object.c_str(),
                                        binding.method.c_str(), "its arguments are larger than a call may carry"));
    return jsc_value_new_undefined(held.context());
  }
  GVariant* parameters = g_variant_new("(tss@av)", static_cast<guint64>(publicationId), binding.object.c_str(),
                                       binding.method.c_str(), encoded);
  JSCValue* result = nullptr;
  if (binding.returnsValue) {
    if (GVariant* reply = askValue(binding, parameters)) {
      GVariant* value = g_variant_get_child_value(reply, 0);
      result = codec.decode(value);
      g_variant_unref(value);
      g_variant_unref(reply);
    }
  } else {
    GDBusMessage* message =
        g_dbus_message_new_method_call(nullptr, P::kApplicationPath, P::kApplicationInterface, "Send");
    g_dbus_message_set_body(message, parameters);
    sendPaced(message, binding.object + "." + binding.method);
    g_object_unref(message);
  }
  if (result == nullptr) result = jsc_value_new_undefined(held.context());
  return result;
}

GVariant* PageExtension::askValue(MethodBinding& binding, GVariant* parameters) {
  g_variant_ref_sink(parameters);
  GVariant* reply = nullptr;
  if (binding.direct && direct_.isOpen()) {
    GVariant* value = nullptr;
    switch (direct_.ask(sent_, parameters, &value)) {
      case DirectCallClient::Outcome::kAnswered:
        // Answered once the application had taken everything sent before.
        unanswered_ = 0;
        reply = g_variant_new_tuple(&value, 1);
        g_variant_ref_sink(reply);
        g_variant_unref(value);
        break;
      case DirectCallClient::Outcome::kNeverHere: binding.direct = false; break;
      case DirectCallClient::Outcome::kAskWithCall:
      case DirectCallClient::Outcome::kFailed: break;
    }
  }
  if (reply == nullptr) {
    GError* error = nullptr;
    // Its answer comes once the application has taken everything sent before.
    unanswered_ = 0;
    reply = g_dbus_connection_call_sync(connection_, nullptr, P::kApplicationPath, P::kApplicationInterface, "Call",
                                        parameters, G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, G_MAXINT, nullptr,
                                        &error);
    if (reply == nullptr) {
      g_warning("%s.%s failed: %s", binding.object.c_str(), binding.method.c_str(), error->message);
      g_error_free(error);
    }
  }
  g_variant_unref(parameters);
  return reply;
}

void PageExtension::onConsoleMessage(WebKitWebPage* page, WebKitConsoleMessage* message, gpointer self) {
  static_cast<PageExtension*>(self)->sendConsole(page, message);
}

const PageExtension::Publication* PageExtension::shownPlayer(uint64_t page) const {
  for (const auto& entry : publications_) {
    const Publication& publication = entry.second;
    if (publication.page == page && publication.mainFrame && publication.shown) return &publication;
  }
  return nullptr;
}

// Only the player's lines go to the application: those of a page without
// the page objects, and those of scripts of another origin (a frame's, an
// advert's) stay here. The player's own scripts served from the saved page
// (the offline start) count at the player's origin, as the application logs
// them. Code made of text (eval, a string for setTimeout), and as WebKit
// gives them some inline scripts of frames, have no script address to tell
// whose they are: their lines go, cut like every line.
void PageExtension::sendConsole(WebKitWebPage* page, WebKitConsoleMessage* message) {
  if (connection_ == nullptr) return;
  uint64_t pageId = webkit_web_page_get_id(page);
  const Publication* player = shownPlayer(pageId);
  if (player == nullptr) return;
  const char* sourceId = webkit_console_message_get_source_id(message);
  std::string source = SavedPageRedirect::originalAddress(page, sourceId != nullptr ? sourceId : "");
  if (!source.empty() && !SavedPageRedirect::isAtOrigin(player->origin, source)) return;
  GDBusMessage* dbusMessage =
      g_dbus_message_new_method_call(nullptr, P::kApplicationPath, P::kApplicationInterface, "Console");
  g_dbus_message_set_body(
      dbusMessage,
      g_variant_new("(tu@s@su)", static_cast<guint64>(pageId), consoleLevel(webkit_console_message_get_level(message)),
                    consoleText(webkit_console_message_get_text(message)), validString(source.c_str()),
                    webkit_console_message_get_line(message)));
  sendPaced(dbusMessage, "Console");
  g_object_unref(dbusMessage);
}

void PageExtension::onMessage(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                              GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
  auto* self = static_cast<PageExtension*>(data);
  // The application never waits for these: complete the invocation first
  // (no reply is sent for messages that expect none).
  g_dbus_method_invocation_return_value(invocation, nullptr);
  if (g_strcmp0(method, "CallMethod") == 0) {
    guint64 publication = 0;
    const char* name = nullptr;
    GVariant* arguments = nullptr;
    g_variant_get(parameters, "(t&s@av)", &publication, &name, &arguments);
    self->callMethod(publication, name, arguments);
    g_variant_unref(arguments);
  } else if (g_strcmp0(method, "Callback") == 0) {
    guint64 callback = 0;
    GVariant* value = nullptr;
    g_variant_get(parameters, "(tv)", &callback, &value);
    self->callBack(callback, value);
    g_variant_unref(value);
  } else if (g_strcmp0(method, "DropCallback") == 0) {
    guint64 callback = 0;
    g_variant_get(parameters, "(t)", &callback);
    self->dropCallback(callback);
  } else if (g_strcmp0(method, "Evaluate") == 0) {
    guint64 publication = 0;
    const char* script = nullptr;
    g_variant_get(parameters, "(t&s)", &publication, &script);
    self->evaluate(publication, script);
  }
}

void PageExtension::callMethod(uint64_t id, const char* name, GVariant* arguments) {
  Publication* publication = find(id);
  if (publication == nullptr || !publication->shown) return;
  HeldFrame held(*publication);
  JSCContext* context = held.context();
  JSCValue* api = jsc_context_get_value(context, "VeloraAPI");
  JSCValue* method = api != nullptr && jsc_value_is_object(api) ? jsc_value_object_get_property(api, name) : nullptr;
  if (method != nullptr && jsc_value_is_function(method)) {
    PageValueCodec codec = held.codec();
    gsize count = g_variant_n_children(arguments);
    std::vector<JSCValue*> values;
    values.reserve(count);
    for (gsize i = 0; i < count; ++i) {
      GVariant* child = g_variant_get_child_value(arguments, i);
      values.push_back(codec.decode(child));
      g_variant_unref(child);
    }
    JSCValue* result = jsc_value_object_invoke_methodv(api, name, static_cast<guint>(values.size()), values.data());
    if (result != nullptr) g_object_unref(result);
    for (JSCValue* value : values) g_object_unref(value);
  }
  clearException(context);
  if (method != nullptr) g_object_unref(method);
  if (api != nullptr) g_object_unref(api);
}

void PageExtension::callBack(uint64_t id, GVariant* value) {
  auto kept = callbacks_.find(id);
  if (kept == callbacks_.end()) return;  // answered, dropped, or its page is gone
  KeptCallback callback = kept->second;
  callbacks_.erase(kept);  // once only, even if the function calls back into us
  Publication* publication = find(callback.publication);
  if (publication != nullptr && publication->shown) {
    HeldFrame held(*publication);
    JSCValue* argument = held.codec().decode(value);
    JSCValue* result = jsc_value_function_callv(callback.function, 1, &argument);
    if (result != nullptr) g_object_unref(result);
    g_object_unref(argument);
    clearException(held.context());
  }
  g_object_unref(callback.function);
}

void PageExtension::evaluate(uint64_t id, const char* script) {
  Publication* publication = find(id);
  if (publication == nullptr || !publication->shown) return;
  HeldFrame held(*publication);
  evaluateIn(held.context(), script, "velora-desktop:///evaluate");
}

void PageExtension::evaluateIn(JSCContext* context, const char* script, const char* source) {
  JSCValue* result = jsc_context_evaluate_with_source_uri(context, script, -1, source, 1);
  if (result != nullptr) g_object_unref(result);
  clearException(context);
}

void PageExtension::onClosed(GDBusConnection*, gboolean, GError*, gpointer data) {
  auto* self = static_cast<PageExtension*>(data);
  g_message("the page-object channel closed; the next document opens it again");
  g_signal_handlers_disconnect_by_data(self->connection_, self);
  g_object_unref(self->connection_);
  self->connection_ = nullptr;
  self->direct_.close();
  self->dropAll();
}

uint64_t PageExtension::keep(uint64_t publication, JSCValue* function) {
  uint64_t id = nextCallback_++;
  callbacks_[id] = KeptCallback{publication, JSC_VALUE(g_object_ref(function))};
  return id;
}

PageExtension::Publication* PageExtension::find(uint64_t id) {
  auto found = publications_.find(id);
  return found != publications_.end() ? &found->second : nullptr;
}

void PageExtension::dropCallback(uint64_t id) {
  auto kept = callbacks_.find(id);
  if (kept == callbacks_.end()) return;
  g_object_unref(kept->second.function);
  callbacks_.erase(kept);
}

void PageExtension::dropCallbacks(uint64_t publication) {
  for (auto it = callbacks_.begin(); it != callbacks_.end();) {
    if (it->second.publication == publication) {
      g_object_unref(it->second.function);
      it = callbacks_.erase(it);
    } else {
      ++it;
    }
  }
}

void PageExtension::dropPublication(uint64_t id) {
  auto found = publications_.find(id);
  if (found == publications_.end()) return;
  dropCallbacks(id);
  found->second.helpers.unref();
  g_object_unref(found->second.context);
  publications_.erase(found);
  sendOneWay("Ended", g_variant_new("(t)", static_cast<guint64>(id)));
}

void PageExtension::dropPage(uint64_t page, bool shownOnly) {
  std::vector<uint64_t> ids;
  for (const auto& entry : publications_) {
    if (entry.second.page == page && (entry.second.shown || !shownOnly)) ids.push_back(entry.first);
  }
  for (uint64_t id : ids) dropPublication(id);
}

void PageExtension::dropFrame(uint64_t page, uint64_t frame, bool shownOnly) {
  std::vector<uint64_t> ids;
  for (const auto& entry : publications_) {
    if (entry.second.page == page && entry.second.frame == frame && (entry.second.shown || !shownOnly)) {
      ids.push_back(entry.first);
    }
  }
  for (uint64_t id : ids) dropPublication(id);
}

void PageExtension::dropAll() {
  std::vector<uint64_t> ids;
  for (const auto& entry : publications_) ids.push_back(entry.first);
  for (uint64_t id : ids) dropPublication(id);
}
