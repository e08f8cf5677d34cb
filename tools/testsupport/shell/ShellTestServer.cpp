#include "ShellTestServer.h"

#include <libsoup/soup.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

std::string contentTypeOf(const std::string& path) {
  auto endsWith = [&path](const char* suffix) { return g_str_has_suffix(path.c_str(), suffix); };
  if (endsWith(".html") || endsWith(".htm")) return "text/html; charset=utf-8";
  if (endsWith(".js")) return "application/javascript";
  if (endsWith(".css")) return "text/css";
  if (endsWith(".mp3")) return "audio/mpeg";
  if (endsWith(".png")) return "image/png";
  return "application/octet-stream";
}

// Listens on host:port (0: any free port) and returns the port; 0 on failure.
unsigned listen(SoupServer* server, const char* host, unsigned port) {
  GError* error = nullptr;
  GSocket* socket = g_socket_new(G_SOCKET_FAMILY_IPV4, G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP, &error);
  unsigned bound = 0;
  if (socket != nullptr) {
    GInetAddress* address = g_inet_address_new_from_string(host);
    GSocketAddress* socketAddress = g_inet_socket_address_new(address, port);
    if (g_socket_bind(socket, socketAddress, TRUE, &error) && g_socket_listen(socket, &error) &&
        soup_server_listen_socket(server, socket, static_cast<SoupServerListenOptions>(0), &error)) {
      GSocketAddress* local = g_socket_get_local_address(socket, nullptr);
      bound = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(local));
      g_object_unref(local);
    }
    g_object_unref(socketAddress);
    g_object_unref(address);
    g_object_unref(socket);
  }
  if (bound == 0) {
    g_printerr("test server: cannot listen on %s:%u: %s\n", host, port, error != nullptr ? error->message : "");
    if (error != nullptr) g_error_free(error);
  }
  return bound;
}

}  // namespace

ShellTestServer::ShellTestServer(std::string folder) : folder_(std::move(folder)) {}

ShellTestServer::~ShellTestServer() {
  for (auto& delayed : delayed_) {
    g_source_remove(delayed.first);
    g_object_unref(delayed.second.first);
  }
  if (server_ != nullptr) {
    soup_server_disconnect(server_);
    g_object_unref(server_);
  }
}

bool ShellTestServer::start(unsigned playerPort) {
  server_ = soup_server_new(nullptr, nullptr);
  soup_server_add_handler(server_, nullptr, onRequest, this, nullptr);
  playerPort_ = listen(server_, "127.0.0.1", playerPort);
  if (playerPort_ == 0) return false;
  otherPort_ = listen(server_, "127.0.0.1", 0);
  // A port already listened on is found first: ask for a fresh one.
  if (otherPort_ == playerPort_) return false;
  return otherPort_ != 0 && listen(server_, "127.0.0.2", playerPort_) == playerPort_;
}

std::string ShellTestServer::playerOrigin() const {
  return "http://127.0.0.1:" + std::to_string(playerPort_);
}
std::string ShellTestServer::otherPortOrigin() const {
  return "http://127.0.0.1:" + std::to_string(otherPort_);
}
std::string ShellTestServer::thirdPartyOrigin() const {
  return "http://127.0.0.2:" + std::to_string(playerPort_);
}

const std::vector<std::string>& ShellTestServer::reports(const std::string& name) const {
  static const std::vector<std::string> none;
  auto found = reports_.find(name);
  return found != reports_.end() ? found->second : none;
}

std::string ShellTestServer::report(const std::string& name) const {
  const std::vector<std::string>& all = reports(name);
  return all.empty() ? std::string() : all.front();
}

bool ShellTestServer::runUntil(const std::function<bool()>& done, int guardSeconds) {
  gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(guardSeconds) * G_USEC_PER_SEC;
  GMainContext* context = g_main_context_get_thread_default();
  if (context == nullptr) context = g_main_context_default();
  // A wake-up now and then, so that the guard is looked at while idle.
  guint tick = g_timeout_add(
      50, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  // The answer is what the loop saw last: asking once more after it could
  // meet a state that has changed since (a window that has just gone).
  bool reached = done();
  while (!reached && g_get_monotonic_time() < deadline) {
    g_main_context_iteration(context, TRUE);
    reached = done();
  }
  g_source_remove(tick);
  return reached;
}

bool ShellTestServer::hasRunningChildren() {
  const std::string self = std::to_string(getpid());
  GDir* proc = g_dir_open("/proc", 0, nullptr);
  if (proc == nullptr) return false;
  bool running = false;
  for (const char* name; !running && (name = g_dir_read_name(proc)) != nullptr;) {
    if (!g_ascii_isdigit(name[0])) continue;
    gchar* stat = nullptr;
    gchar* path = g_build_filename("/proc", name, "stat", nullptr);
    // "pid (command) state ppid ...": the command may hold spaces and ')'.
    if (g_file_get_contents(path, &stat, nullptr, nullptr)) {
      const char* end = strrchr(stat, ')');
      char state = 0;
      char parent[32] = {0};
      if (end != nullptr && sscanf(end + 1, " %c %31s", &state, parent) == 2) {
        running = self == parent && state != 'Z' && state != 'X';
      }
    }
    g_free(stat);
    g_free(path);
  }
  g_dir_close(proc);
  return running;
}

void ShellTestServer::onRequest(SoupServer*, SoupServerMessage* message, const char* path, GHashTable* query,
                                gpointer self) {
  static_cast<ShellTestServer*>(self)->handle(message, path != nullptr ? path : "/", query);
}

void ShellTestServer::handle(SoupServerMessage* message, const std::string& path, GHashTable* query) {
  requests_.push_back(path);
  const char* queryText = g_uri_get_query(soup_server_message_get_uri(message));
  queries_.push_back(queryText != nullptr ? queryText : "");
  SoupMessageHeaders* headers = soup_server_message_get_response_headers(message);
  soup_message_headers_replace(headers, "Cache-Control", "no-store");
  if (path == "/report") {
    const char* name = query != nullptr ? static_cast<const char*>(g_hash_table_lookup(query, "name")) : nullptr;
    SoupMessageBody* body = soup_server_message_get_request_body(message);
    GBytes* bytes = soup_message_body_flatten(body);
    gsize size = 0;
    const char* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
    reports_[name != nullptr ? name : ""].push_back(std::string(data != nullptr ? data : "", size));
    g_bytes_unref(bytes);
    soup_server_message_set_status(message, 204, nullptr);
    return;
  }
  auto redirect = redirects_.find(path);
  if (redirect != redirects_.end()) {
    soup_server_message_set_redirect(message, 302, redirect->second.c_str());
    return;
  }
  if (path == "/broken") {
    GIOStream* stream = soup_server_message_steal_connection(message);
    g_io_stream_close(stream, nullptr, nullptr);
    g_object_unref(stream);
    return;
  }
  if (path == "/status") {
    const char* code = query != nullptr ? static_cast<const char*>(g_hash_table_lookup(query, "code")) : nullptr;
    soup_server_message_set_status(message, code != nullptr ? atoi(code) : 500, nullptr);
    soup_server_message_set_response(message, "text/html", SOUP_MEMORY_STATIC, "", 0);
    return;
  }
  if (path.find("..") != std::string::npos) {
    soup_server_message_set_status(message, 403, nullptr);
    return;
  }
  auto delay = delays_.find(path);
  if (delay != delays_.end() && delay->second > 0) {
    serveLater(message, path, delay->second);
    return;
  }
  serveFile(message, path);
}

void ShellTestServer::serveLater(SoupServerMessage* message, const std::string& path, unsigned milliseconds) {
  struct Later {
    ShellTestServer* server;
    guint timer;
  };
  soup_server_message_pause(message);
  auto* later = new Later{this, 0};
  later->timer = g_timeout_add_full(
      G_PRIORITY_DEFAULT, milliseconds,
      [](gpointer data) -> gboolean {
        auto* later = static_cast<Later*>(data);
        later->server->answerHeld(later->timer);
        return G_SOURCE_REMOVE;
      },
      later, [](gpointer data) { delete static_cast<Later*>(data); });
  delayed_[later->timer] = {SOUP_SERVER_MESSAGE(g_object_ref(message)), path};
}

void ShellTestServer::answerHeld(unsigned timer) {
  auto found = delayed_.find(timer);
  SoupServerMessage* message = found->second.first;
  serveFile(message, found->second.second);
  soup_server_message_unpause(message);
  g_object_unref(message);
  delayed_.erase(found);
}

void ShellTestServer::release(const std::string& path) {
  delays_[path] = 0;
  std::vector<unsigned> held;
  for (const auto& delayed : delayed_) {
    if (delayed.second.second == path) held.push_back(delayed.first);
  }
  for (unsigned timer : held) {
    answerHeld(timer);
    g_source_remove(timer);
  }
}

void ShellTestServer::serveFile(SoupServerMessage* message, const std::string& path) {
  // A folder's address serves its index page, as a player address ending in "/" needs.
  std::string served = !path.empty() && path.back() == '/' ? path + "index.html" : path;
  gchar* file = g_build_filename(folder_.c_str(), served.c_str(), nullptr);
  gchar* contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(file, &contents, &length, nullptr)) {
    g_free(file);
    soup_server_message_set_status(message, 404, nullptr);
    return;
  }
  g_free(file);
  soup_server_message_set_status(message, 200, nullptr);
  soup_server_message_set_response(message, contentTypeOf(served).c_str(), SOUP_MEMORY_TAKE, contents, length);
}
