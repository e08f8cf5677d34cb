#include "GlobalShortcutsPortal.h"

#include "ShellStrings.h"
#include "ShellTrace.h"

namespace {

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kInterface = "org.freedesktop.portal.GlobalShortcuts";

// The portal's request and session paths hold the caller's unique name
// without its ':' and with '_' for each '.'.
std::string senderPart(GDBusConnection* bus) {
  std::string name = g_dbus_connection_get_unique_name(bus) + 1;
  for (char& c : name) {
    if (c == '.') c = '_';
  }
  return name;
}

}  // namespace

GlobalShortcutsPortal::GlobalShortcutsPortal(std::function<void(guint32)> front,
                                             std::function<void(const std::string&)> unavailable)
    : front_(std::move(front)), unavailable_(std::move(unavailable)), cancel_(g_cancellable_new()) {
  GError* error = nullptr;
  bus_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (bus_ == nullptr) {
    g_error_free(error);
    // Told from the main loop, as every other outcome.
    g_idle_add(
        [](gpointer data) -> gboolean {
          static_cast<GlobalShortcutsPortal*>(data)->fail("no session bus");
          return G_SOURCE_REMOVE;
        },
        this);
    return;
  }
  activatedSubscription_ =
      g_dbus_connection_signal_subscribe(bus_, kPortal, kInterface, "Activated", kPortalPath, nullptr,
                                         G_DBUS_SIGNAL_FLAGS_NONE, onActivated, this, nullptr);
  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string("velora_create"));
  g_variant_builder_add(&options, "{sv}", "session_handle_token", g_variant_new_string("velora_front"));
  request("CreateSession", g_variant_new("(a{sv})", &options), "velora_create", &GlobalShortcutsPortal::sessionCreated);
  answerTimeOut_ = g_timeout_add_seconds(kAnswerSeconds, onAnswerTimeOut, this);
}

gboolean GlobalShortcutsPortal::onAnswerTimeOut(gpointer data) {
  auto* self = static_cast<GlobalShortcutsPortal*>(data);
  self->answerTimeOut_ = 0;
  self->fail("no answer within " + std::to_string(kAnswerSeconds) + " s");
  return G_SOURCE_REMOVE;
}

GlobalShortcutsPortal::~GlobalShortcutsPortal() {
  g_cancellable_cancel(cancel_);
  g_object_unref(cancel_);
  g_idle_remove_by_data(this);
  if (answerTimeOut_ != 0) g_source_remove(answerTimeOut_);
  if (bus_ == nullptr) return;
  if (responseSubscription_ != 0) g_dbus_connection_signal_unsubscribe(bus_, responseSubscription_);
  if (activatedSubscription_ != 0) g_dbus_connection_signal_unsubscribe(bus_, activatedSubscription_);
  if (!session_.empty()) {
    g_dbus_connection_call(bus_, kPortal, session_.c_str(), "org.freedesktop.portal.Session", "Close", nullptr, nullptr,
                           G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
  }
  g_object_unref(bus_);
}

// A portal call answers at once with a request object; the outcome comes in
// that object's Response signal, which is listened for before the call.
void GlobalShortcutsPortal::request(const char* method, GVariant* parameters, const std::string& token, Answer answer) {
  std::string path = std::string(kPortalPath) + "/request/" + senderPart(bus_) + "/" + token;
  if (responseSubscription_ != 0) g_dbus_connection_signal_unsubscribe(bus_, responseSubscription_);
  pending_ = answer;
  responseSubscription_ =
      g_dbus_connection_signal_subscribe(bus_, kPortal, "org.freedesktop.portal.Request", "Response", path.c_str(),
                                         nullptr, G_DBUS_SIGNAL_FLAGS_NONE, onResponse, this, nullptr);
  g_dbus_connection_call(
      bus_, kPortal, kPortalPath, kInterface, method, parameters, G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, -1,
      cancel_,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
        if (reply != nullptr) {
          g_variant_unref(reply);
          return;
        }
        if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
          static_cast<GlobalShortcutsPortal*>(data)->fail(error->message);
        }
        g_error_free(error);
      },
      this);
}

void GlobalShortcutsPortal::onResponse(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                                       GVariant* parameters, gpointer data) {
  auto* self = static_cast<GlobalShortcutsPortal*>(data);
  if (self->pending_ == nullptr || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ua{sv})"))) return;
  guint32 response = 0;
  GVariant* results = nullptr;
  g_variant_get(parameters, "(u@a{sv})", &response, &results);
  Answer answer = self->pending_;
  self->pending_ = nullptr;
  (self->*answer)(response, results);
  g_variant_unref(results);
}

void GlobalShortcutsPortal::sessionCreated(guint32 response, GVariant* results) {
  const char* session = nullptr;
  if (response != 0 || !g_variant_lookup(results, "session_handle", "&s", &session) ||
      !g_variant_is_object_path(session)) {
    fail("no session (response " + std::to_string(response) + ")");
    return;
  }
  session_ = session;
  GVariantBuilder shortcut;
  g_variant_builder_init(&shortcut, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&shortcut, "{sv}", "description",
                        g_variant_new_string(ShellStrings::text("shortcut.front.description").c_str()));
  g_variant_builder_add(&shortcut, "{sv}", "preferred_trigger", g_variant_new_string(kTrigger));
  GVariantBuilder shortcuts;
  g_variant_builder_init(&shortcuts, G_VARIANT_TYPE("a(sa{sv})"));
  g_variant_builder_add(&shortcuts, "(sa{sv})", kShortcutId, &shortcut);
  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string("velora_bind"));
  request("BindShortcuts", g_variant_new("(oa(sa{sv})sa{sv})", session_.c_str(), &shortcuts, "", &options),
          "velora_bind", &GlobalShortcutsPortal::shortcutsBound);
}

void GlobalShortcutsPortal::shortcutsBound(guint32 response, GVariant*) {
  if (response != 0) {
    fail("the shortcut was not bound (response " + std::to_string(response) + ")");
    return;
  }
  bound_ = true;
  if (answerTimeOut_ != 0) g_source_remove(answerTimeOut_);
  answerTimeOut_ = 0;
  shellTrace("GlobalShortcutsPortal::shortcutsBound", "the front key is bound through the desktop portal");
}

void GlobalShortcutsPortal::fail(const std::string& reason) {
  if (failed_ || bound_) return;
  failed_ = true;
  if (answerTimeOut_ != 0) g_source_remove(answerTimeOut_);
  answerTimeOut_ = 0;
  if (unavailable_) unavailable_(reason);
}

void GlobalShortcutsPortal::onActivated(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                                        GVariant* parameters, gpointer data) {
  auto* self = static_cast<GlobalShortcutsPortal*>(data);
  if (!self->bound_ || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(osta{sv})"))) return;
  const char* session = nullptr;
  const char* shortcut = nullptr;
  guint64 time = 0;
  g_variant_get(parameters, "(&o&st@a{sv})", &session, &shortcut, &time, nullptr);
  if (self->session_ != session || g_strcmp0(shortcut, kShortcutId) != 0) return;
  // The key event's time, so that the window manager lets the window come forward.
  if (self->front_) self->front_(static_cast<guint32>(time));
}
