#include "UpdateCheck.h"

#include <libsoup/soup.h>
#include <sys/utsname.h>

#include <cstring>

#include "ShellStrings.h"

namespace {

// The feed is a short list; anything larger is no feed of ours, and no more
// of it is read.
constexpr gsize kMaximumFeedBytes = 1 << 20;
constexpr gsize kReadBytes = 64 * 1024;

struct FeedParse {
  std::vector<UpdateCheck::Release>* releases;
  int depth = 0;
  bool sawRoot = false;
};

// A version as the dialog shows it: digits and dots ("1.10.2"), no longer
// than any real one; the feed's server is no author of the dialog's text.
constexpr size_t kLongestVersion = 32;

bool isVersion(const std::string& text) {
  if (text.empty() || text.size() > kLongestVersion || text.front() == '.' || text.back() == '.') return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '.' ? text[i + 1] == '.' : !g_ascii_isdigit(text[i])) return false;
  }
  return true;
}

// Download links go to the browser: web addresses only (a mailto: link
// could attach the user's files to a message).
bool isWebAddress(const std::string& text) {
  GUri* uri = g_uri_parse(text.c_str(), G_URI_FLAGS_NONE, nullptr);
  if (uri == nullptr) return false;
  const char* scheme = g_uri_get_scheme(uri);
  const char* host = g_uri_get_host(uri);
  bool web = (g_ascii_strcasecmp(scheme, "http") == 0 || g_ascii_strcasecmp(scheme, "https") == 0) && host != nullptr &&
             *host != '\0';
  g_uri_unref(uri);
  return web;
}

bool isDecimal(const char* text) {
  if (text == nullptr || *text == '\0' || strlen(text) > 18) return false;
  for (const char* at = text; *at != '\0'; ++at) {
    if (!g_ascii_isdigit(*at)) return false;
  }
  return true;
}

void onStart(GMarkupParseContext*, const gchar* element, const gchar** names, const gchar** values, gpointer data,
             GError** error) {
  auto* parse = static_cast<FeedParse*>(data);
  ++parse->depth;
  if (parse->depth == 1) {
    if (strcmp(element, "releases") != 0) {
      g_set_error(error, G_MARKUP_ERROR, G_MARKUP_ERROR_INVALID_CONTENT, "the feed's root is <%s>", element);
    }
    parse->sawRoot = true;
    return;
  }
  if (parse->depth != 2 || strcmp(element, "release") != 0) return;  // room for more in later feeds
  UpdateCheck::Release release;
  const char* build = nullptr;
  for (int i = 0; names[i] != nullptr; ++i) {
    if (strcmp(names[i], "version") == 0) release.version = values[i];
    if (strcmp(names[i], "build") == 0) build = values[i];
    if (strcmp(names[i], "platform") == 0) release.platform = values[i];
    if (strcmp(names[i], "link") == 0) release.link = values[i];
  }
  if (release.version.empty() || !isDecimal(build) || release.platform.empty() || release.link.empty()) {
    g_set_error(error, G_MARKUP_ERROR, G_MARKUP_ERROR_MISSING_ATTRIBUTE,
                "a release needs a version, a build number, a platform and a link");
    return;
  }
  if (!isVersion(release.version)) {
    g_set_error(error, G_MARKUP_ERROR, G_MARKUP_ERROR_INVALID_CONTENT,
                "a release's version is digits and dots, at most %zu characters", kLongestVersion);
    return;
  }
  if (!isWebAddress(release.link)) {
    g_set_error(error, G_MARKUP_ERROR, G_MARKUP_ERROR_INVALID_CONTENT, "a release's link is an http(s) address");
    return;
  }
  release.build = g_ascii_strtoll(build, nullptr, 10);
  parse->releases->push_back(release);
}

void onEnd(GMarkupParseContext*, const gchar*, gpointer data, GError**) {
  --static_cast<FeedParse*>(data)->depth;
}

}  // namespace

std::string UpdateCheck::feedAddress(const std::string& feed, time_t now) {
  return feed + "?ts=" + std::to_string(static_cast<long>(now));
}

std::string UpdateCheck::platform() {
  struct utsname system;
  return uname(&system) == 0 ? std::string("linux-") + system.machine : "linux";
}

bool UpdateCheck::parseFeed(const std::string& text, std::vector<Release>& releases, std::string& error) {
  releases.clear();
  FeedParse parse;
  parse.releases = &releases;
  static const GMarkupParser parser = {onStart, onEnd, nullptr, nullptr, nullptr};
  GMarkupParseContext* context = g_markup_parse_context_new(&parser, G_MARKUP_PREFIX_ERROR_POSITION, &parse, nullptr);
  GError* failure = nullptr;
  bool parsed = g_markup_parse_context_parse(context, text.data(), static_cast<gssize>(text.size()), &failure) &&
                g_markup_parse_context_end_parse(context, &failure);
  g_markup_parse_context_free(context);
  if (parsed && !parse.sawRoot) {
    error = "the feed is empty";
    return false;
  }
  if (!parsed) {
    error = failure->message;
    g_error_free(failure);
    releases.clear();
    return false;
  }
  return true;
}

UpdateCheck::UpdateCheck(GtkWindow* parent, std::string address, int64_t ourBuild, std::string userAgent, Hooks hooks)
    : parent_(parent),
      address_(std::move(address)),
      ourBuild_(ourBuild),
      userAgent_(std::move(userAgent)),
      hooks_(std::move(hooks)) {}

UpdateCheck::~UpdateCheck() {
  if (cancel_ != nullptr) {
    g_cancellable_cancel(cancel_);
    g_object_unref(cancel_);
  }
  if (body_ != nullptr) g_object_unref(body_);
  if (request_ != nullptr) g_object_unref(request_);
  if (session_ != nullptr) g_object_unref(session_);
  if (dialog_ != nullptr) gtk_widget_destroy(dialog_);
}

void UpdateCheck::start() {
  if (started_) return;
  started_ = true;
  request_ = soup_message_new("GET", address_.c_str());
  if (request_ == nullptr) {
    finish("", 0, "not an address: " + address_);
    return;
  }
  session_ =
      soup_session_new_with_options("timeout", 30, "idle-timeout", 30, "user-agent", userAgent_.c_str(), nullptr);
  cancel_ = g_cancellable_new();
  // Destroying the check cancels the fetch, whose callbacks then do nothing.
  soup_session_send_async(session_, request_, G_PRIORITY_LOW, cancel_, onSent, this);
}

// After an asynchronous step without its result: ends the check with the
// error (and frees it). A cancelled step belongs to a check that is gone:
// it is not touched.
void UpdateCheck::stepFailed(void* data, GError* error, const char* otherwise) {
  if (error == nullptr || !g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
    static_cast<UpdateCheck*>(data)->finish("", 0, error != nullptr ? error->message : otherwise);
  }
  if (error != nullptr) g_error_free(error);
}

void UpdateCheck::onSent(GObject* source, GAsyncResult* result, void* data) {
  GError* error = nullptr;
  GInputStream* body = soup_session_send_finish(SOUP_SESSION(source), result, &error);
  if (body == nullptr) {
    stepFailed(data, error, "no answer");
    return;
  }
  auto* self = static_cast<UpdateCheck*>(data);
  self->body_ = body;
  unsigned status = soup_message_get_status(self->request_);
  if (status < 200 || status > 299) {
    self->finish("", status, "");
    return;
  }
  self->readMore();
}

// The body in pieces, so that a feed without end is dropped at the cap
// rather than held in memory whole.
void UpdateCheck::readMore() {
  g_input_stream_read_bytes_async(body_, kReadBytes, G_PRIORITY_LOW, cancel_, onRead, this);
}

void UpdateCheck::onRead(GObject* source, GAsyncResult* result, void* data) {
  GError* error = nullptr;
  GBytes* piece = g_input_stream_read_bytes_finish(G_INPUT_STREAM(source), result, &error);
  if (piece == nullptr) {
    stepFailed(data, error, "the answer could not be read");
    return;
  }
  auto* self = static_cast<UpdateCheck*>(data);
  gsize size = 0;
  const char* bytes = static_cast<const char*>(g_bytes_get_data(piece, &size));
  if (size > 0) self->received_.append(bytes, size);
  g_bytes_unref(piece);
  unsigned status = soup_message_get_status(self->request_);
  if (self->received_.size() > kMaximumFeedBytes) {
    self->received_.clear();
    self->finish("", status, "");  // too large
  } else if (size == 0) {
    self->finish(self->received_, status, "");
  } else {
    self->readMore();
  }
}

void UpdateCheck::finish(const std::string& body, unsigned status, const std::string& transportError) {
  ended_ = true;
  // The rest of the answer is not wanted: closing drops the connection.
  if (body_ != nullptr) {
    g_input_stream_close(body_, nullptr, nullptr);
    g_clear_object(&body_);
  }
  std::string reason;
  std::vector<Release> releases;
  if (!transportError.empty()) {
    reason = transportError;
  } else if (status < 200 || status > 299) {
    reason = "HTTP status " + std::to_string(status) + " from " + address_;
  } else if (body.empty() || !parseFeed(body, releases, reason)) {
    reason = "the feed does not parse: " + (reason.empty() ? std::string("empty or too large") : reason);
  }
  if (!reason.empty()) {
    if (hooks_.warn) hooks_.warn("Error while checking for updates: " + reason);
    return;
  }
  const Release* newest = nullptr;
  std::string ours = platform();
  for (const Release& release : releases) {
    if (release.platform == ours && release.build > ourBuild_ && (newest == nullptr || release.build > newest->build)) {
      newest = &release;
    }
  }
  if (newest != nullptr) offer(*newest);
}

void UpdateCheck::offer(const Release& release) {
  link_ = release.link;
  std::string message = ShellStrings::formatted("update.dialog.message.format", release.version);
  dialog_ = gtk_message_dialog_new(parent_, GTK_DIALOG_DESTROY_WITH_PARENT, GTK_MESSAGE_INFO, GTK_BUTTONS_NONE, "%s",
                                   ShellStrings::text("update.dialog.title").c_str());
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog_), "%s", message.c_str());
  gtk_dialog_add_button(GTK_DIALOG(dialog_), ShellStrings::text("update.dialog.button.later").c_str(),
                        GTK_RESPONSE_CANCEL);
  gtk_dialog_add_button(GTK_DIALOG(dialog_), ShellStrings::text("update.dialog.button.download").c_str(),
                        GTK_RESPONSE_ACCEPT);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog_), GTK_RESPONSE_ACCEPT);
  g_signal_connect(dialog_, "response", G_CALLBACK(+[](GtkDialog* dialog, int response, gpointer data) {
                     auto* self = static_cast<UpdateCheck*>(data);
                     self->dialog_ = nullptr;
                     gtk_widget_destroy(GTK_WIDGET(dialog));
                     if (response == GTK_RESPONSE_ACCEPT && self->hooks_.openLink) self->hooks_.openLink(self->link_);
                   }),
                   this);
  gtk_widget_show(dialog_);
}
