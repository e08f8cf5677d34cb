#include "NotificationSender.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <libnotify/notify.h>
#include <libsoup/soup.h>

#include <thread>

#include "NotificationIcon.h"
#include "ShellStrings.h"
#include "ShellTrace.h"
#include "VLLogger.h"

struct NotificationSender::Fetch {
  NotificationSender* sender = nullptr;
  std::string title;
  std::string message;
  std::string address;
  SoupMessage* request = nullptr;
  GInputStream* stream = nullptr;
  GCancellable* cancel = g_cancellable_new();
  guint timeUp = 0;      // the source that cancels the fetch at its time limit
  bool givenUp = false;  // cancelled: ends without its icon
  GByteArray* bytes = g_byte_array_new();
  guint8 buffer[16384] = {};
};

NotificationSender& NotificationSender::instance() {
  static NotificationSender* sender = new NotificationSender();
  return *sender;
}

// A connection for every fetch, also to one cover host: a fetch queued behind
// slow ones on a shared connection would spend its time limit waiting.
NotificationSender::NotificationSender()
    : session_(soup_session_new_with_options("timeout", 15, "idle-timeout", 15, "max-conns",
                                             static_cast<int>(2 * kMaxIconFetches), "max-conns-per-host",
                                             static_cast<int>(2 * kMaxIconFetches), nullptr)) {
  if (!notify_is_initted()) notify_init("Velora Desktop");
}

void NotificationSender::start() {
  notify_set_app_name(ShellStrings::text("Velora Desktop").c_str());
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (bus == nullptr) {
    serverMissing_ = true;
    shellTrace("NotificationSender::start", "no session bus: no desktop notifications");
    return;
  }
  g_dbus_connection_call(
      bus, "org.freedesktop.Notifications", "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
      "GetServerInformation", nullptr, G_VARIANT_TYPE("(ssss)"), G_DBUS_CALL_FLAGS_NONE, 25000, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        GError* error = nullptr;
        GVariant* answer = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
        if (answer == nullptr) {
          static_cast<NotificationSender*>(data)->serverMissing_ = true;
          shellTrace("NotificationSender::start", std::string("no desktop notification server: ") + error->message);
          g_error_free(error);
          return;
        }
        const char* name = nullptr;
        const char* version = nullptr;
        g_variant_get(answer, "(&s&s&s&s)", &name, nullptr, &version, nullptr);
        shellTrace("NotificationSender::start", std::string("Using ") + name + " (" + version + ")");
        g_variant_unref(answer);
      },
      this);
  g_object_unref(bus);
}

bool NotificationSender::isFetchable(const std::string& address) {
  GUri* uri = g_uri_parse(address.c_str(), G_URI_FLAGS_NONE, nullptr);
  if (uri == nullptr) return false;
  const char* scheme = g_uri_get_scheme(uri);
  bool fetchable = (g_ascii_strcasecmp(scheme, "http") == 0 || g_ascii_strcasecmp(scheme, "https") == 0) &&
                   g_uri_get_host(uri) != nullptr && *g_uri_get_host(uri) != '\0';
  g_uri_unref(uri);
  return fetchable;
}

std::string NotificationSender::shownText(const std::string& text, size_t longest) {
  std::string plain = text;
  // U+0000 would end the text where libnotify reads it: shown instead.
  for (size_t at = plain.find('\0'); at != std::string::npos; at = plain.find('\0', at + 3)) {
    plain.replace(at, 1, "\xEF\xBF\xBD");
  }
  gchar* valid = g_utf8_make_valid(plain.data(), static_cast<gssize>(plain.size()));
  std::string shown = valid;
  if (g_utf8_strlen(valid, -1) > static_cast<glong>(longest)) {
    shown.assign(valid, static_cast<size_t>(g_utf8_offset_to_pointer(valid, static_cast<glong>(longest) - 1) - valid));
    shown += "\xE2\x80\xA6";  // …
  }
  g_free(valid);
  return shown;
}

void NotificationSender::show(const std::string& pageTitle, const std::string& pageMessage,
                              const std::string& iconAddress) {
  if (serverMissing_) return;
  // The shown texts from here on: the notification kept for a title is the
  // one of the title shown.
  const std::string title = shownText(pageTitle, kLongestTitle);
  const std::string message = shownText(pageMessage, kLongestMessage);
  SoupMessage* request = isFetchable(iconAddress) ? soup_message_new("GET", iconAddress.c_str()) : nullptr;
  if (request == nullptr || !makeRoomForAFetch()) {
    if (request != nullptr) g_object_unref(request);
    display(title, message, nullptr, std::string());
    return;
  }
  ++iconFetches_;
  auto* fetch = new Fetch();
  fetches_.push_back(fetch);
  fetch->sender = this;
  fetch->title = title;
  fetch->message = message;
  fetch->address = iconAddress;
  fetch->request = request;
  // The session's time-out only limits each wait: a server that sends a
  // byte now and then would hold the fetch, and its slot, for ever.
  fetch->timeUp = g_timeout_add_seconds(iconFetchSeconds_, onIconFetchTimeUp, fetch);
  soup_session_send_async(
      session_, request, G_PRIORITY_DEFAULT, fetch->cancel,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        auto* fetch = static_cast<Fetch*>(data);
        fetch->stream = soup_session_send_finish(SOUP_SESSION(source), result, nullptr);
        bool ok = fetch->stream != nullptr && SOUP_STATUS_IS_SUCCESSFUL(soup_message_get_status(fetch->request)) &&
                  soup_message_headers_get_content_length(soup_message_get_response_headers(fetch->request)) <=
                      static_cast<goffset>(kMaxIconBytes);
        if (!ok) {
          onIconRead(nullptr, nullptr, fetch);
          return;
        }
        g_input_stream_read_async(fetch->stream, fetch->buffer, sizeof fetch->buffer, G_PRIORITY_DEFAULT, fetch->cancel,
                                  reinterpret_cast<GAsyncReadyCallback>(onIconRead), fetch);
      },
      fetch);
}

bool NotificationSender::makeRoomForAFetch() {
  // Fetches given up end at the next turn of the main loop; until then they
  // still count, so that a flood of notifications cannot pile them up.
  if (fetches_.size() >= 2 * kMaxIconFetches) return false;
  if (iconFetches_ < kMaxIconFetches) return true;
  for (Fetch* fetch : fetches_) {
    if (fetch->givenUp) continue;
    VL_LOG_WARN("NotificationSender::show the icon " << fetch->address
                                                     << " gives way to a newer notification's: shown without it");
    giveUp(fetch);
    return true;
  }
  return false;
}

void NotificationSender::giveUp(Fetch* fetch) {
  // Once: a fetch that gave way may reach its time limit before it ends.
  if (fetch->givenUp) return;
  fetch->givenUp = true;
  --fetch->sender->iconFetches_;
  // The pending step ends with an error, which ends the fetch.
  g_cancellable_cancel(fetch->cancel);
}

int NotificationSender::onIconFetchTimeUp(void* data) {
  auto* fetch = static_cast<Fetch*>(data);
  fetch->timeUp = 0;
  VL_LOG_WARN("NotificationSender::show the icon " << fetch->address << " took more than "
                                                   << fetch->sender->iconFetchSeconds_ << " s: shown without it");
  giveUp(fetch);
  return G_SOURCE_REMOVE;
}

// Reads the icon in pieces; source null means the fetch has failed.
void NotificationSender::onIconRead(GObject* source, GAsyncResult* result, void* data) {
  auto* fetch = static_cast<Fetch*>(data);
  gssize read = source != nullptr ? g_input_stream_read_finish(G_INPUT_STREAM(source), result, nullptr) : -1;
  if (read > 0 && fetch->bytes->len + static_cast<size_t>(read) <= kMaxIconBytes) {
    g_byte_array_append(fetch->bytes, fetch->buffer, static_cast<guint>(read));
    g_input_stream_read_async(fetch->stream, fetch->buffer, sizeof fetch->buffer, G_PRIORITY_DEFAULT, fetch->cancel,
                              reinterpret_cast<GAsyncReadyCallback>(onIconRead), fetch);
    return;
  }
  GBytes* icon = nullptr;
  if (read == 0 && fetch->bytes->len > 0) {
    icon = g_byte_array_free_to_bytes(fetch->bytes);
    fetch->bytes = nullptr;
  } else {
    VL_LOG_DEBUG("NotificationSender::show no icon from " + fetch->address);
  }
  endFetch(fetch, icon);
}

// Shows the fetch's notification with the icon's bytes (null: none) and frees it.
void NotificationSender::endFetch(Fetch* fetch, GBytes* icon) {
  if (fetch->timeUp != 0) g_source_remove(fetch->timeUp);
  if (!fetch->givenUp) --fetch->sender->iconFetches_;
  fetch->sender->fetches_.remove(fetch);
  fetch->sender->display(fetch->title, fetch->message, icon, fetch->address);
  if (icon != nullptr) g_bytes_unref(icon);
  if (fetch->stream != nullptr) g_object_unref(fetch->stream);
  if (fetch->bytes != nullptr) g_byte_array_unref(fetch->bytes);
  g_object_unref(fetch->cancel);
  g_object_unref(fetch->request);
  delete fetch;
}

void NotificationSender::display(const std::string& title, const std::string& message, GBytes* icon,
                                 const std::string& iconAddress) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (waiting_.size() >= kMaxWaiting) {
    if (waiting_.front().icon != nullptr) g_bytes_unref(waiting_.front().icon);
    waiting_.pop_front();
  }
  waiting_.push_back(Waiting{title, message, icon != nullptr ? g_bytes_ref(icon) : nullptr, iconAddress});
  if (!sending_) {
    sending_ = true;
    std::thread([this] { sendLoop(); }).detach();
  }
  wake_.notify_one();
}

void NotificationSender::sendLoop() {
  // libnotify's replies and signals come to this thread's own context, which
  // is looked at between notifications.
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  for (;;) {
    Waiting next;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return !waiting_.empty(); });
      next = std::move(waiting_.front());
      waiting_.pop_front();
    }
    send(next);
    if (next.icon != nullptr) g_bytes_unref(next.icon);
    while (g_main_context_iteration(context, FALSE)) {
    }
  }
}

void NotificationSender::send(const Waiting& waiting) {
  const std::string& title = waiting.title;
  GdkPixbuf* icon = nullptr;
  if (waiting.icon != nullptr) {
    std::string refused;
    icon = NotificationIcon::decode(waiting.icon, refused);
    if (icon == nullptr)
      VL_LOG_WARN("NotificationSender::send no icon from " << waiting.iconAddress << ": " << refused);
  }
  // libnotify names the image after the server's protocol version, which it
  // learns only once it has reached the server; until then it would send the
  // icon under an obsolete name that servers ignore. When the icon's fetch
  // ends before any other notification was shown (a slow page, a fast fetch),
  // this is the process's first: reach the server before setting the image.
  if (icon != nullptr && !serverReached_) serverReached_ = notify_get_server_info(nullptr, nullptr, nullptr, nullptr);
  // A desktop notification needs a summary: an untitled one gets our name.
  // The summary is plain text for every server; the body is markup for those
  // that say so.
  const char* summary = title.empty() ? "Velora Desktop" : title.c_str();
  NotifyNotification* notification = notificationFor(title, summary, bodyOf(waiting.message));
  // Clears an icon an earlier one with the same title had.
  notify_notification_set_image_from_pixbuf(notification, icon);
  if (icon != nullptr) g_object_unref(icon);
  GError* error = nullptr;
  if (!notify_notification_show(notification, &error)) {
    VL_LOG_WARN("NotificationSender::send " << error->message);
    g_error_free(error);
  }
}

std::string NotificationSender::bodyOf(const std::string& message) {
  if (bodyMarkup_ < 0) {
    GList* capabilities = notify_get_server_caps();
    // Asked again next time when the server could not be reached.
    if (capabilities != nullptr) bodyMarkup_ = 0;
    for (GList* item = capabilities; item != nullptr; item = item->next) {
      if (g_strcmp0(static_cast<const char*>(item->data), "body-markup") == 0) bodyMarkup_ = 1;
    }
    g_list_free_full(capabilities, g_free);
  }
  if (bodyMarkup_ != 1) return message;
  gchar* escaped = g_markup_escape_text(message.data(), static_cast<gssize>(message.size()));
  std::string body = escaped;
  g_free(escaped);
  return body;
}

NotifyNotification* NotificationSender::notificationFor(const std::string& title, const char* summary,
                                                        const std::string& message) {
  for (auto kept = shown_.begin(); kept != shown_.end(); ++kept) {
    if (kept->first != title) continue;
    shown_.splice(shown_.end(), shown_, kept);
    notify_notification_update(kept->second, summary, message.c_str(), nullptr);
    return kept->second;
  }
  // The oldest is only let go: what it showed stays on the desktop.
  if (shown_.size() >= kKeptNotifications) {
    g_object_unref(shown_.front().second);
    shown_.pop_front();
  }
  shown_.emplace_back(title, notify_notification_new(summary, message.c_str(), nullptr));
  keptCount_ = shown_.size();
  return shown_.back().second;
}
