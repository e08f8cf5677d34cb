#include "PageChannel.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <glib/gstdio.h>
#include <unistd.h>

#include <vector>

#include "DirectCallServer.h"
#include "PageCall.h"
#include "PageChannelProtocol.h"
#include "PageObject.h"

namespace P = PageChannelProtocol;

namespace {

GDBusInterfaceInfo* applicationInterface() {
  static GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(P::kApplicationIntrospection, nullptr);
  return info->interfaces[0];
}

const GDBusInterfaceVTable* vtable(GDBusInterfaceMethodCallFunc onMethodCall) {
  static const GDBusInterfaceVTable table = {onMethodCall, nullptr, nullptr, {nullptr}};
  return &table;
}

std::vector<PageValue> argumentsOf(GVariant* array) {
  std::vector<PageValue> arguments;
  gsize count = g_variant_n_children(array);
  arguments.reserve(count);
  for (gsize i = 0; i < count; ++i) {
    GVariant* child = g_variant_get_child_value(array, i);
    arguments.push_back(PageValue::fromVariant(child));
    g_variant_unref(child);
  }
  return arguments;
}

}  // namespace

// One web process's connection. handled counts its messages that expect no
// reply once their handler has returned (main thread; read by its
// direct-call thread): what the extension waited for was handled anyway.
struct PageChannel::Connection {
  guint registration = 0;
  std::atomic<uint64_t> handled{0};
  std::unique_ptr<DirectCallServer> direct;
};

PageChannel::PageChannel(Delegate& delegate) : delegate_(delegate) {}

PageChannel::~PageChannel() {
  stop();
}

bool PageChannel::start() {
  if (server_ != nullptr) return true;
  GError* error = nullptr;
  // A folder only this user can enter; the server checks the peer's user too.
  gchar* folder = g_dir_make_tmp("velora-channel-XXXXXX", &error);
  if (folder == nullptr) {
    delegate_.channelWarning(std::string("cannot make the page channel's folder: ") + error->message);
    g_error_free(error);
    return false;
  }
  folder_ = folder;
  g_free(folder);
  gchar* escaped = g_dbus_address_escape_value(folder_.c_str());
  std::string address = std::string("unix:dir=") + escaped;
  g_free(escaped);
  gchar* guid = g_dbus_generate_guid();
  server_ = g_dbus_server_new_sync(address.c_str(),
                                   static_cast<GDBusServerFlags>(G_DBUS_SERVER_FLAGS_RUN_IN_THREAD |
                                                                 G_DBUS_SERVER_FLAGS_AUTHENTICATION_REQUIRE_SAME_USER),
                                   guid, nullptr, nullptr, &error);
  g_free(guid);
  if (server_ == nullptr) {
    delegate_.channelWarning(std::string("cannot open the page channel: ") + error->message);
    g_error_free(error);
    g_rmdir(folder_.c_str());
    folder_.clear();
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    accepting_ = true;
  }
  directCalls_ = true;
  serving_.store(true, std::memory_order_release);
  g_signal_connect(server_, "new-connection", G_CALLBACK(onNewConnection), this);
  g_dbus_server_start(server_);
  address_ = g_dbus_server_get_client_address(server_);
  return true;
}

void PageChannel::stop() {
  if (server_ == nullptr) return;
  std::map<GDBusConnection*, std::unique_ptr<Connection>> connections;
  {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    accepting_ = false;
    connections.swap(connections_);
  }
  g_dbus_server_stop(server_);
  g_signal_handlers_disconnect_by_data(server_, this);
  g_object_unref(server_);
  server_ = nullptr;
  for (auto& entry : connections) {
    entry.second->direct.reset();
    g_signal_handlers_disconnect_by_data(entry.first, this);
    g_dbus_connection_unregister_object(entry.first, entry.second->registration);
    g_dbus_connection_close(entry.first, nullptr, nullptr, nullptr);
    g_object_unref(entry.first);
  }
  std::lock_guard<std::mutex> lock(publicationsMutex_);
  for (auto& entry : publications_) entry.second->end();
  publications_.clear();
  // The server leaves its socket behind in the folder.
  if (GDir* dir = g_dir_open(folder_.c_str(), 0, nullptr)) {
    while (const gchar* name = g_dir_read_name(dir)) {
      gchar* path = g_build_filename(folder_.c_str(), name, nullptr);
      g_unlink(path);
      g_free(path);
    }
    g_dir_close(dir);
  }
  g_rmdir(folder_.c_str());
  folder_.clear();
  address_.clear();
}

std::shared_ptr<PagePublication> PageChannel::publication(uint64_t id) const {
  auto found = publications_.find(id);
  return found != publications_.end() ? found->second : nullptr;
}

// On the server's thread. Objects must be registered before this returns, so
// that no message of the new connection is missed; their calls are dispatched
// on the main context (the default one, as this thread has none of its own).
gboolean PageChannel::onNewConnection(GDBusServer*, GDBusConnection* connection, gpointer data) {
  auto* self = static_cast<PageChannel*>(data);
  if (!self->serving_.load(std::memory_order_acquire)) return FALSE;
  std::lock_guard<std::mutex> lock(self->connectionsMutex_);
  if (!self->accepting_) return FALSE;
  GError* error = nullptr;
  guint registration = g_dbus_connection_register_object(connection, P::kApplicationPath, applicationInterface(),
                                                         vtable(onMethodCall), self, nullptr, &error);
  if (registration == 0) {
    g_warning("cannot serve a page connection: %s", error->message);
    g_error_free(error);
    return FALSE;
  }
  g_signal_connect(connection, "closed", G_CALLBACK(onClosed), self);
  auto state = std::make_unique<Connection>();
  state->registration = registration;
  self->connections_[G_DBUS_CONNECTION(g_object_ref(connection))] = std::move(state);
  return TRUE;
}

void PageChannel::stopDirectCalls() {
  std::vector<std::unique_ptr<DirectCallServer>> stopped;
  {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    directCalls_ = false;
    for (auto& entry : connections_) stopped.push_back(std::move(entry.second->direct));
  }
  stopped.clear();  // waits for each thread, outside the lock
}

void PageChannel::onClosed(GDBusConnection* connection, gboolean, GError*, gpointer self) {
  static_cast<PageChannel*>(self)->closed(connection);
}

void PageChannel::closed(GDBusConnection* connection) {
  std::unique_ptr<Connection> state;
  {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    auto found = connections_.find(connection);
    if (found == connections_.end()) return;
    g_signal_handlers_disconnect_by_data(connection, this);
    g_dbus_connection_unregister_object(connection, found->second->registration);
    state = std::move(found->second);
    connections_.erase(found);
  }
  state.reset();  // its direct-call thread ends before the publications do
  // The web process is gone, and with it every document it showed.
  std::lock_guard<std::mutex> lock(publicationsMutex_);
  for (auto it = publications_.begin(); it != publications_.end();) {
    if (it->second->connection() == connection) {
      it->second->end();
      it = publications_.erase(it);
    } else {
      ++it;
    }
  }
  g_object_unref(connection);
}

void PageChannel::onMethodCall(GDBusConnection* connection, const gchar*, const gchar*, const gchar*,
                               const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation,
                               gpointer data) {
  auto* self = static_cast<PageChannel*>(data);
  // Keeps the connection for the count after the handler, which may close it.
  g_object_ref(connection);
  if (g_strcmp0(method, "Call") == 0) {
    self->call(connection, parameters, invocation, true);
  } else if (g_strcmp0(method, "Send") == 0) {
    self->call(connection, parameters, invocation, false);
  } else if (g_strcmp0(method, "Publish") == 0) {
    self->publish(connection, parameters, invocation);
  } else if (g_strcmp0(method, "Console") == 0) {
    self->console(parameters);
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else if (g_strcmp0(method, "Shown") == 0) {
    g_dbus_method_invocation_return_value(invocation, nullptr);
    self->shown(connection, parameters);
  } else if (g_strcmp0(method, "Ended") == 0) {
    g_dbus_method_invocation_return_value(invocation, nullptr);
    self->ended(connection, parameters);
  } else if (g_strcmp0(method, "Refused") == 0) {
    g_dbus_method_invocation_return_value(invocation, nullptr);
    self->refused(connection, parameters);
  } else if (g_strcmp0(method, "DirectCalls") == 0) {
    self->openDirectCalls(connection, parameters, invocation);
  } else {
    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.UnknownMethod", method);
  }
  if (g_strcmp0(method, "Call") != 0 && g_strcmp0(method, "Publish") != 0) self->countHandled(connection);
  g_object_unref(connection);
}

void PageChannel::countHandled(GDBusConnection* connection) {
  std::lock_guard<std::mutex> lock(connectionsMutex_);
  auto found = connections_.find(connection);
  if (found != connections_.end()) found->second->handled.fetch_add(1, std::memory_order_release);
}

// The extension's end of a socket pair: its value calls are asked there
// first, and answered by a thread of this connection's own.
void PageChannel::openDirectCalls(GDBusConnection* connection, GVariant* parameters,
                                  GDBusMethodInvocation* invocation) {
  gint32 index = -1;
  g_variant_get(parameters, "(h)", &index);
  GUnixFDList* fds = g_dbus_message_get_unix_fd_list(g_dbus_method_invocation_get_message(invocation));
  int socket = fds != nullptr ? g_unix_fd_list_get(fds, index, nullptr) : -1;
  g_dbus_method_invocation_return_value(invocation, nullptr);
  std::unique_ptr<DirectCallServer> replaced;
  std::lock_guard<std::mutex> lock(connectionsMutex_);
  auto found = connections_.find(connection);
  if (socket < 0 || found == connections_.end() || !directCalls_) {
    // The extension finds the socket closed and asks over the connection.
    if (socket >= 0) close(socket);
    return;
  }
  Connection* state = found->second.get();
  replaced = std::move(state->direct);
  state->direct = std::make_unique<DirectCallServer>(
      socket, [this, connection, state](uint64_t messages, GVariant* call, GVariant** result) {
        return answerDirect(connection, *state, messages, call, result);
      });
}

// Runs a reader here when nothing the page sent before it is still to be
// handled; everything else goes back to the extension, which asks it with
// Call (and the main thread warns of calls that cannot be answered).
unsigned PageChannel::answerDirect(GDBusConnection* connection, const Connection& state, uint64_t messages,
                                   GVariant* parameters, GVariant** result) {
  if (state.handled.load(std::memory_order_acquire) != messages) return P::kDirectAskWithCall;
  guint64 id = 0;
  const gchar* objectName = nullptr;
  const gchar* methodName = nullptr;
  GVariant* encoded = nullptr;
  g_variant_get(parameters, "(t&s&s@av)", &id, &objectName, &methodName, &encoded);
  std::shared_ptr<PageObject> object;
  const PageObject::Method* method = nullptr;
  {
    std::lock_guard<std::mutex> lock(publicationsMutex_);
    auto found = publications_.find(id);
    if (found != publications_.end() && found->second->connection() == connection) {
      object = found->second->sharedObject(objectName);
      method = object != nullptr ? object->find(methodName) : nullptr;
    }
  }
  unsigned status = method == nullptr ? P::kDirectAskWithCall : P::kDirectNeverHere;
  if (method != nullptr && method->anyThread) {
    PageCall call(nullptr, argumentsOf(encoded), nullptr);
    *result = g_variant_ref_sink(method->handler(call).toVariant());
    status = P::kDirectAnswered;
  }
  g_variant_unref(encoded);
  return status;
}

// Ends the publications of a frame that starts another document in that web
// process: those of the frame itself, or with wholePage (a main frame) those
// of every frame of the page. Documents in the back/forward cache keep theirs,
// and so do those of another process (the page's previous one, when WebKit
// changes process for another site): their extension ends them when it lets
// them go, or they end with its connection.
void PageChannel::endWhere(GDBusConnection* connection, uint64_t page, uint64_t frame, bool wholePage) {
  std::lock_guard<std::mutex> lock(publicationsMutex_);
  for (auto it = publications_.begin(); it != publications_.end();) {
    const PagePublication::Frame& f = it->second->frame();
    if (it->second->connection() == connection && f.page == page && (wholePage || f.frame == frame) &&
        it->second->isShown()) {
      it->second->end();
      it = publications_.erase(it);
    } else {
      ++it;
    }
  }
}

void PageChannel::publish(GDBusConnection* connection, GVariant* parameters, GDBusMethodInvocation* invocation) {
  PagePublication::Frame frame;
  guint64 page = 0, frameId = 0;
  gboolean mainFrame = FALSE;
  const gchar* uri = nullptr;
  const gchar* origin = nullptr;
  g_variant_get(parameters, "(ttb&s&s)", &page, &frameId, &mainFrame, &uri, &origin);
  frame.page = page;
  frame.frame = frameId;
  frame.mainFrame = mainFrame != FALSE;
  frame.uri = uri;
  frame.origin = origin;
  endWhere(connection, frame.page, frame.frame, frame.mainFrame);

  auto publication = std::make_shared<PagePublication>(nextPublication_++, frame, connection);
  if (!delegate_.publish(*publication)) {
    publication->end();
    g_dbus_method_invocation_return_value(invocation,
                                          g_variant_new("(t@a(sa(ssb)s))", static_cast<guint64>(0),
                                                        g_variant_new_array(G_VARIANT_TYPE("(sa(ssb)s)"), nullptr, 0)));
    return;
  }
  {
    std::lock_guard<std::mutex> lock(publicationsMutex_);
    publications_[publication->id()] = publication;
  }
  g_dbus_method_invocation_return_value(
      invocation, g_variant_new("(t@a(sa(ssb)s))", static_cast<guint64>(publication->id()), publication->steps()));
}

void PageChannel::call(GDBusConnection* connection, GVariant* parameters, GDBusMethodInvocation* invocation,
                       bool wantsResult) {
  guint64 id = 0;
  const gchar* objectName = nullptr;
  const gchar* methodName = nullptr;
  GVariant* encoded = nullptr;
  g_variant_get(parameters, "(t&s&s@av)", &id, &objectName, &methodName, &encoded);

  auto found = publications_.find(id);
  std::shared_ptr<PagePublication> publication = found != publications_.end() ? found->second : nullptr;
  PageObject* object =
      publication != nullptr && publication->connection() == connection ? publication->object(objectName) : nullptr;
  const PageObject::Method* method = object != nullptr ? object->find(methodName) : nullptr;
  if (method == nullptr) {
    // A document that has moved on, or a name we never published.
    if (publication == nullptr || publication->connection() != connection) {
      delegate_.channelWarning(std::string("call from a page that is gone: ") + objectName + "." + methodName);
    } else {
      delegate_.channelWarning(std::string("Bad call from JS : ") + objectName + "." + methodName);
    }
    g_variant_unref(encoded);
    if (wantsResult) {
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(@v)", PageValue().toVariant()));
    } else {
      g_dbus_method_invocation_return_value(invocation, nullptr);
    }
    return;
  }

  PageCall pageCall(publication, argumentsOf(encoded), wantsResult ? invocation : nullptr);
  g_variant_unref(encoded);
  if (!wantsResult) g_dbus_method_invocation_return_value(invocation, nullptr);
  // The handler may end this publication (a new page load cannot happen
  // meanwhile, but a nested main loop may run); the call keeps it alive.
  PageValue result = method->handler(pageCall);
  if (GDBusMethodInvocation* pending = pageCall.takeInvocation()) {
    g_dbus_method_invocation_return_value(pending, g_variant_new("(@v)", result.toVariant()));
  }
}

void PageChannel::console(GVariant* parameters) {
  guint64 page = 0;
  guint32 level = 0, line = 0;
  const gchar* text = nullptr;
  const gchar* source = nullptr;
  g_variant_get(parameters, "(tu&s&su)", &page, &level, &text, &source, &line);
  delegate_.consoleMessage(page, level, text, source, line);
}

size_t PageChannel::shownPublicationCount() const {
  size_t count = 0;
  for (const auto& entry : publications_) count += entry.second->isShown() ? 1 : 0;
  return count;
}

std::shared_ptr<PagePublication> PageChannel::publicationOf(GDBusConnection* connection, uint64_t id) const {
  auto found = publications_.find(id);
  if (found == publications_.end() || found->second->connection() != connection) return nullptr;
  return found->second;
}

void PageChannel::shown(GDBusConnection* connection, GVariant* parameters) {
  guint64 id = 0;
  gboolean isShown = FALSE;
  g_variant_get(parameters, "(tb)", &id, &isShown);
  std::shared_ptr<PagePublication> publication = publicationOf(connection, id);
  if (publication == nullptr || publication->isShown() == (isShown != FALSE)) return;
  publication->setShown(isShown != FALSE);
  delegate_.publicationShown(*publication, isShown != FALSE);
}

void PageChannel::ended(GDBusConnection* connection, GVariant* parameters) {
  guint64 id = 0;
  g_variant_get(parameters, "(t)", &id);
  std::shared_ptr<PagePublication> publication = publicationOf(connection, id);
  if (publication == nullptr) return;
  std::lock_guard<std::mutex> lock(publicationsMutex_);
  publication->end();
  publications_.erase(id);
}

void PageChannel::refused(GDBusConnection* connection, GVariant* parameters) {
  guint64 id = 0;
  const gchar* objectName = nullptr;
  const gchar* methodName = nullptr;
  const gchar* reason = nullptr;
  g_variant_get(parameters, "(t&s&s&s)", &id, &objectName, &methodName, &reason);
  std::string where = publicationOf(connection, id) != nullptr ? "" : " (from a page that is gone)";
  delegate_.channelWarning(std::string("refused the call ") + objectName + "." + methodName + where + ": " + reason);
}
