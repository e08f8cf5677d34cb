#include "WebViewProbe.h"

#include "ShellTestServer.h"

std::string WebViewProbe::evaluate(WebKitWebView* view, const std::string& script) {
  struct Result {
    bool done = false;
    std::string json;
  } result;
  std::string wrapped = "JSON.stringify((() => { return " + script + "; })())";
  webkit_web_view_evaluate_javascript(
      view, wrapped.c_str(), -1, nullptr, nullptr, nullptr,
      [](GObject* source, GAsyncResult* async, gpointer data) {
        auto* result = static_cast<Result*>(data);
        GError* error = nullptr;
        JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), async, &error);
        if (error != nullptr) {
          g_printerr("evaluate failed: %s\n", error->message);
          g_error_free(error);
        }
        if (value != nullptr) {
          if (jsc_value_is_string(value)) {
            char* text = jsc_value_to_string(value);
            result->json = text;
            g_free(text);
          }
          g_object_unref(value);
        }
        result->done = true;
      },
      &result);
  ShellTestServer::runUntil([&result] { return result.done; });
  return result.json;
}

std::string WebViewProbe::bodyText(WebKitWebView* view) {
  std::string json = evaluate(view, "document.body ? document.body.textContent : ''");
  // A JSON string: drop the quotes; the texts tested hold no escapes that matter.
  if (json.size() >= 2 && json.front() == '"') return json.substr(1, json.size() - 2);
  return json;
}

bool WebViewProbe::waitForLoad(WebKitWebView* view) {
  return ShellTestServer::runUntil([view] { return !webkit_web_view_is_loading(view); });
}

SilentListener::SilentListener() {
  socket_ = g_socket_new(G_SOCKET_FAMILY_IPV4, G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP, nullptr);
  if (socket_ == nullptr) return;
  GInetAddress* loopback = g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4);
  GSocketAddress* address = g_inet_socket_address_new(loopback, 0);
  if (g_socket_bind(socket_, address, TRUE, nullptr) && g_socket_listen(socket_, nullptr)) {
    GSocketAddress* local = g_socket_get_local_address(socket_, nullptr);
    port_ = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(local));
    g_object_unref(local);
  }
  g_object_unref(address);
  g_object_unref(loopback);
}

SilentListener::~SilentListener() {
  if (socket_ != nullptr) g_object_unref(socket_);
}

std::string SilentListener::origin() const {
  return port_ != 0 ? "http://127.0.0.1:" + std::to_string(port_) : "";
}

std::string refusedOrigin() {
  // A port the system just gave out and that nobody listens on any more.
  GSocket* socket = g_socket_new(G_SOCKET_FAMILY_IPV4, G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP, nullptr);
  GInetAddress* loopback = g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4);
  GSocketAddress* address = g_inet_socket_address_new(loopback, 0);
  unsigned port = 0;
  if (g_socket_bind(socket, address, TRUE, nullptr)) {
    GSocketAddress* local = g_socket_get_local_address(socket, nullptr);
    port = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(local));
    g_object_unref(local);
  }
  g_object_unref(address);
  g_object_unref(loopback);
  g_object_unref(socket);
  return "http://127.0.0.1:" + std::to_string(port);
}
