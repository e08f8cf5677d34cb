#include "SavedPageServer.h"

#include <libsoup/soup.h>

#include "PagePublisher.h"
#include "SavedPageProtocol.h"
#include "ShellTrace.h"
#include "VLLogger.h"

struct SavedPageServer::Pending {
  std::weak_ptr<bool> alive;
  SavedPageServer* server;
  WebKitWebView* view;  // referenced
  std::string html;
  std::string address;
  std::function<void()> loaded;
};

SavedPageServer::SavedPageServer(WebKitWebContext* context) {
  webkit_web_context_register_uri_scheme(context, SavedPageProtocol::kScheme, onSchemeRequest, this, nullptr);
  WebKitSecurityManager* security = webkit_web_context_get_security_manager(context);
  // The page's own scripts, styles and fetches come from here: as trusted as
  // the player's origin, and readable by it.
  webkit_security_manager_register_uri_scheme_as_secure(security, SavedPageProtocol::kScheme);
  webkit_security_manager_register_uri_scheme_as_cors_enabled(security, SavedPageProtocol::kScheme);
}

SavedPageServer::~SavedPageServer() {
  *alive_ = false;
}

void SavedPageServer::show(WebKitWebView* view, SavedPage page, const std::string& address,
                           std::function<void()> loaded) {
  const SavedPage::Resource* document = page.document();
  if (document == nullptr) return;
  auto* pending =
      new Pending{alive_, this, WEBKIT_WEB_VIEW(g_object_ref(view)), document->bytes, address, std::move(loaded)};
  page_ = std::make_shared<const SavedPage>(std::move(page));
  origin_ = PagePublisher::originOf(page_->address());
  WebKitUserMessage* message = webkit_user_message_new(
      SavedPageProtocol::kServeMessage, g_variant_new("(ss)", origin_.c_str(), page_->address().c_str()));
  webkit_web_view_send_message_to_page(view, message, nullptr, onServeTaken, pending);
}

void SavedPageServer::onServeTaken(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
  GError* error = nullptr;
  WebKitUserMessage* reply = webkit_web_view_send_message_to_page_finish(WEBKIT_WEB_VIEW(source), result, &error);
  if (reply != nullptr) {
    g_object_unref(reply);
  } else {
    // Without the redirection the page's own document still shows; what it
    // loads from the player's origin then fails.
    VL_LOG_WARN("SavedPageServer::show the page did not take the redirection: " +
                std::string(error != nullptr ? error->message : ""));
    if (error != nullptr) g_error_free(error);
  }
  if (!pending->alive.expired() && *pending->alive.lock()) {
    webkit_web_view_load_alternate_html(pending->view, pending->html.c_str(), pending->address.c_str(),
                                        pending->address.c_str());
    if (pending->loaded) pending->loaded();
  }
  g_object_unref(pending->view);
}

void SavedPageServer::stop(WebKitWebView* view) {
  if (page_ == nullptr) return;
  page_.reset();
  origin_.clear();
  WebKitUserMessage* message = webkit_user_message_new(SavedPageProtocol::kServeMessage, g_variant_new("(ss)", "", ""));
  webkit_web_view_send_message_to_page(view, message, nullptr, nullptr, nullptr);
}

void SavedPageServer::onSchemeRequest(WebKitURISchemeRequest* request, gpointer self) {
  static_cast<SavedPageServer*>(self)->answer(request);
}

void SavedPageServer::answer(WebKitURISchemeRequest* request) {
  const char* uri = webkit_uri_scheme_request_get_uri(request);
  const SavedPage::Resource* resource = nullptr;
  std::string original;
  if (page_ != nullptr) {
    original = SavedPageProtocol::originalAddress(page_->address(), uri != nullptr ? uri : "");
    resource = page_->find(original);
  }
  GInputStream* stream;
  guint status = 200;
  std::string mimeType = "text/plain";
  if (resource != nullptr) {
    // The bytes are copied: the page served may change while WebKit reads.
    stream = g_memory_input_stream_new_from_data(g_memdup2(resource->bytes.data(), resource->bytes.size()),
                                                 static_cast<gssize>(resource->bytes.size()), g_free);
    if (!resource->mimeType.empty()) mimeType = resource->mimeType;
  } else {
    shellTrace("SavedPageServer::answer",
               std::string("not saved: ") + (original.empty() ? (uri != nullptr ? uri : "") : original));
    stream = g_memory_input_stream_new();
    status = 404;
  }
  WebKitURISchemeResponse* response =
      webkit_uri_scheme_response_new(stream, resource != nullptr ? static_cast<gint64>(resource->bytes.size()) : 0);
  webkit_uri_scheme_response_set_status(response, status, nullptr);
  SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
  soup_message_headers_replace(headers, "Content-Type", mimeType.c_str());
  if (!origin_.empty()) {
    soup_message_headers_replace(headers, "Access-Control-Allow-Origin", origin_.c_str());
    soup_message_headers_replace(headers, "Access-Control-Allow-Credentials", "true");
  }
  webkit_uri_scheme_response_set_http_headers(response, headers);  // takes the headers
  webkit_uri_scheme_response_set_content_type(response, mimeType.c_str());
  webkit_uri_scheme_request_finish_with_response(request, response);
  g_object_unref(response);
  g_object_unref(stream);
}
