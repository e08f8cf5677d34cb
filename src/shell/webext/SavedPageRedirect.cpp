#include "SavedPageRedirect.h"

#include "SavedPageProtocol.h"

namespace {

// What is served is kept on the page object itself, so that it goes with it.
constexpr const char* kServedKey = "velora-saved-page";

struct Served {
  std::string origin;
  std::string document;
};

std::string withoutFragment(const std::string& address) {
  return address.substr(0, address.find('#'));
}

}  // namespace

void SavedPageRedirect::install(WebKitWebExtension* extension) {
  g_signal_connect(extension, "page-created", G_CALLBACK(onPageCreated), nullptr);
}

void SavedPageRedirect::onPageCreated(WebKitWebExtension*, WebKitWebPage* page, gpointer) {
  g_signal_connect(page, "user-message-received", G_CALLBACK(onMessage), nullptr);
  g_signal_connect(page, "send-request", G_CALLBACK(onSendRequest), nullptr);
}

gboolean SavedPageRedirect::onMessage(WebKitWebPage* page, WebKitUserMessage* message, gpointer) {
  if (g_strcmp0(webkit_user_message_get_name(message), SavedPageProtocol::kServeMessage) != 0) return FALSE;
  GVariant* parameters = webkit_user_message_get_parameters(message);
  const char* origin = "";
  const char* document = "";
  if (parameters != nullptr && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ss)"))) {
    g_variant_get(parameters, "(&s&s)", &origin, &document);
  }
  Served* served = *origin != '\0' ? new Served{origin, withoutFragment(document)} : nullptr;
  g_object_set_data_full(G_OBJECT(page), kServedKey, served, [](gpointer data) { delete static_cast<Served*>(data); });
  webkit_user_message_send_reply(message, webkit_user_message_new(SavedPageProtocol::kServeMessage, nullptr));
  return TRUE;
}

std::string SavedPageRedirect::redirect(const std::string& origin, const std::string& document,
                                        const std::string& uri) {
  if (!isAtOrigin(origin, uri)) return "";
  // The document comes as alternate HTML; a request for it is a load of the
  // page from the network again.
  if (withoutFragment(uri) == withoutFragment(document)) return "";
  size_t separator = origin.find("://");
  if (separator == std::string::npos) return "";
  std::string rest = uri.substr(separator + 3);
  if (rest.find('/') == std::string::npos) rest += "/";
  return std::string(SavedPageProtocol::kScheme) + "://" + rest;
}

bool SavedPageRedirect::isAtOrigin(const std::string& origin, const std::string& address) {
  if (origin.empty() || address.compare(0, origin.size(), origin) != 0) return false;
  return address.size() == origin.size() || address[origin.size()] == '/' || address[origin.size()] == '?';
}

std::string SavedPageRedirect::originalAddress(WebKitWebPage* page, const std::string& address) {
  auto* served = static_cast<Served*>(g_object_get_data(G_OBJECT(page), kServedKey));
  if (served == nullptr) return address;
  std::string original = SavedPageProtocol::originalAddress(served->origin, address);
  return original.empty() ? address : original;
}

gboolean SavedPageRedirect::onSendRequest(WebKitWebPage* page, WebKitURIRequest* request, WebKitURIResponse*,
                                          gpointer) {
  auto* served = static_cast<Served*>(g_object_get_data(G_OBJECT(page), kServedKey));
  if (served == nullptr) return FALSE;
  const char* uri = webkit_uri_request_get_uri(request);
  std::string saved = redirect(served->origin, served->document, uri != nullptr ? uri : "");
  if (!saved.empty()) webkit_uri_request_set_uri(request, saved.c_str());
  return FALSE;
}
