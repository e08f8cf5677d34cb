#include "SPMprisMediaKeySource.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "BusDaemonCall.h"
#include "SystemLog.h"

const char* const SPMprisMediaKeySource::kObjectPath = "/org/mpris/MediaPlayer2";

namespace {

const char* const kIntrospection =
    "<node>"
    " <interface name='org.mpris.MediaPlayer2'>"
    "  <method name='Raise'/><method name='Quit'/>"
    "  <property name='CanQuit' type='b' access='read'/>"
    "  <property name='CanRaise' type='b' access='read'/>"
    "  <property name='HasTrackList' type='b' access='read'/>"
    "  <property name='Identity' type='s' access='read'/>"
    "  <property name='SupportedUriSchemes' type='as' access='read'/>"
    "  <property name='SupportedMimeTypes' type='as' access='read'/>"
    " </interface>"
    " <interface name='org.mpris.MediaPlayer2.Player'>"
    "  <method name='Next'/><method name='Previous'/><method name='Pause'/>"
    "  <method name='PlayPause'/><method name='Stop'/><method name='Play'/>"
    "  <property name='PlaybackStatus' type='s' access='read'/>"
    "  <property name='Rate' type='d' access='read'/>"
    "  <property name='Metadata' type='a{sv}' access='read'/>"
    "  <property name='Volume' type='d' access='read'/>"
    "  <property name='Position' type='x' access='read'/>"
    "  <property name='MinimumRate' type='d' access='read'/>"
    "  <property name='MaximumRate' type='d' access='read'/>"
    "  <property name='CanGoNext' type='b' access='read'/>"
    "  <property name='CanGoPrevious' type='b' access='read'/>"
    "  <property name='CanPlay' type='b' access='read'/>"
    "  <property name='CanPause' type='b' access='read'/>"
    "  <property name='CanSeek' type='b' access='read'/>"
    "  <property name='CanControl' type='b' access='read'/>"
    " </interface>"
    "</node>";

GDBusNodeInfo* introspection() {
  static GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
  return node;
}

// A bus name element: letters, digits, '_' and '-', not starting with a digit.
std::string busNameElement(const std::string& name) {
  std::string element;
  for (unsigned char c : name) element += std::isalnum(c) || c == '_' || c == '-' ? static_cast<char>(c) : '_';
  if (element.empty() || std::isdigit(static_cast<unsigned char>(element[0]))) element = "_" + element;
  return element;
}

const char* playbackStatusName(SPMediaKeySource::PlaybackStatus status) {
  switch (status) {
    case SPMediaKeySource::kPlaybackPlaying: return "Playing";
    case SPMediaKeySource::kPlaybackPaused: return "Paused";
    default: return "Stopped";
  }
}

// org.freedesktop.DBus.RequestName without queueing: true when we own it.
bool requestName(GDBusConnection* connection, const std::string& name) {
  const guint32 doNotQueue = 4;
  GVariant* reply =
      callBusDaemon(connection, "RequestName", g_variant_new("(su)", name.c_str(), doNotQueue), G_VARIANT_TYPE("(u)"));
  if (!reply) return false;
  guint32 result = 0;
  g_variant_get(reply, "(u)", &result);
  g_variant_unref(reply);
  return result == 1 || result == 4;  // primary owner, or already the owner
}

}  // namespace

SPMprisMediaKeySource::SPMprisMediaKeySource(std::string applicationName, std::string identity,
                                             GDBusConnection* connection)
    : playerName_(busNameElement(applicationName)),
      identity_(identity.empty() ? (g_get_application_name() ? g_get_application_name() : applicationName)
                                 : std::move(identity)),
      connection_(connection ? static_cast<GDBusConnection*>(g_object_ref(connection)) : nullptr) {}

SPMprisMediaKeySource::~SPMprisMediaKeySource() {
  close();
  if (connection_) g_object_unref(connection_);
}

bool SPMprisMediaKeySource::open(KeyHandler keys, StateHandler states) {
  close();
  if (!connection_) connection_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (!connection_) return false;
  static const GDBusInterfaceVTable vtable = {methodCalled, propertyRead, nullptr, {}};
  rootRegistration_ = g_dbus_connection_register_object(connection_, kObjectPath, introspection()->interfaces[0],
                                                        &vtable, this, nullptr, nullptr);
  playerRegistration_ = g_dbus_connection_register_object(connection_, kObjectPath, introspection()->interfaces[1],
                                                          &vtable, this, nullptr, nullptr);
  if (!rootRegistration_ || !playerRegistration_) {  // another player object of this process
    close();
    return false;
  }
  keys_ = std::move(keys);
  states_ = std::move(states);
  context_ = g_main_context_ref_thread_default();
  setEnabled(true);
  return true;
}

bool SPMprisMediaKeySource::ownName() {
  std::string name = "org.mpris.MediaPlayer2." + playerName_;
  if (!requestName(connection_, name)) {
    name += ".instance" + std::to_string(getpid());
    if (!requestName(connection_, name)) return false;
  }
  ownedName_ = name;
  return true;
}

void SPMprisMediaKeySource::releaseName() {
  if (ownedName_.empty()) return;
  GVariant* reply = callBusDaemon(connection_, "ReleaseName", g_variant_new("(s)", ownedName_.c_str()), nullptr);
  if (reply) g_variant_unref(reply);
  ownedName_.clear();
}

void SPMprisMediaKeySource::setEnabled(bool enabled) {
  if (!rootRegistration_) return;
  enabled_ = enabled;
  if (!enabled) {
    dropWaiting();
    releaseName();
    if (states_) states_(kKeysGivenBack);
    return;
  }
  if (ownedName_.empty() && !ownName()) {
    writeSystemLog("SPMprisMediaKeySource::setEnabled", "Cannot own a media player name on the session bus");
    if (states_) states_(kUnusable);
    return;
  }
  if (states_) states_(kKeysTaken);
}

void SPMprisMediaKeySource::setPlaybackStatus(PlaybackStatus status) {
  if (status == playbackStatus_) return;
  playbackStatus_ = status;
  if (!playerRegistration_) return;
  GVariantBuilder changed;
  g_variant_builder_init(&changed, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&changed, "{sv}", "PlaybackStatus", g_variant_new_string(playbackStatusName(status)));
  g_dbus_connection_emit_signal(
      connection_, nullptr, kObjectPath, "org.freedesktop.DBus.Properties", "PropertiesChanged",
      g_variant_new("(sa{sv}as)", "org.mpris.MediaPlayer2.Player", &changed, nullptr), nullptr);
}

void SPMprisMediaKeySource::methodCalled(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                         const gchar* method, GVariant*, GDBusMethodInvocation* invocation,
                                         gpointer self) {
  auto* source = static_cast<SPMprisMediaKeySource*>(self);
  g_dbus_method_invocation_return_value(invocation, nullptr);
  std::string name = method;
  Action action = name == "PlayPause"  ? kToggle
                  : name == "Play"     ? kPlay
                  : name == "Pause"    ? kPause
                  : name == "Next"     ? kNext
                  : name == "Previous" ? kPrevious
                                       : kNoAction;  // Stop, Raise, Quit: answered, nothing to do
  if (action == kNoAction || !source->enabled_ || !source->keys_) return;
  source->request(action);
}

void SPMprisMediaKeySource::request(Action action) {
  if (!coalescing_) {
    perform(action);
    coalescing_ = g_timeout_source_new(kCoalesceMs);
    g_source_set_callback(coalescing_, performWaiting, this, nullptr);
    g_source_attach(coalescing_, context_);
    return;
  }
  // Play and Pause each ask for a state: only the later one counts.
  if (action == kPlay || action == kPause) {
    waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), action == kPlay ? kPause : kPlay), waiting_.end());
  }
  if (std::find(waiting_.begin(), waiting_.end(), action) == waiting_.end()) waiting_.push_back(action);
}

gboolean SPMprisMediaKeySource::performWaiting(gpointer self) {
  auto* source = static_cast<SPMprisMediaKeySource*>(self);
  if (source->waiting_.empty()) {
    g_source_unref(source->coalescing_);
    source->coalescing_ = nullptr;
    return G_SOURCE_REMOVE;
  }
  std::vector<Action> actions;
  actions.swap(source->waiting_);
  for (Action action : actions) source->perform(action);
  return G_SOURCE_CONTINUE;  // what comes meanwhile waits again
}

// Decided when acted on, with the status as it is then: read, since the one
// set follows what plays only some time after.
void SPMprisMediaKeySource::perform(Action action) {
  bool playing = (statusReader_ ? statusReader_() : playbackStatus_) == kPlaybackPlaying;
  int code = SPMediaKeyEvent::kKeyPlay;
  if (action == kNext) code = SPMediaKeyEvent::kKeyNext;
  if (action == kPrevious) code = SPMediaKeyEvent::kKeyPrevious;
  if ((action == kPlay && playing) || (action == kPause && !playing) || !keys_) return;
  keys_(SPMediaKeyEvent::make(code, true));
  keys_(SPMediaKeyEvent::make(code, false));
}

void SPMprisMediaKeySource::dropWaiting() {
  waiting_.clear();
  if (!coalescing_) return;
  g_source_destroy(coalescing_);
  g_source_unref(coalescing_);
  coalescing_ = nullptr;
}

GVariant* SPMprisMediaKeySource::propertyRead(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                              const gchar* property, GError**, gpointer self) {
  auto* source = static_cast<SPMprisMediaKeySource*>(self);
  std::string name = property;
  if (name == "Identity") return g_variant_new_string(source->identity_.c_str());
  if (name == "SupportedUriSchemes" || name == "SupportedMimeTypes") return g_variant_new_strv(nullptr, 0);
  if (name == "PlaybackStatus") return g_variant_new_string(playbackStatusName(source->playbackStatus_));
  if (name == "Metadata") return g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0);
  if (name == "Position") return g_variant_new_int64(0);
  if (name == "Rate" || name == "Volume" || name == "MinimumRate" || name == "MaximumRate") {
    return g_variant_new_double(1.0);
  }
  bool yes =
      name == "CanGoNext" || name == "CanGoPrevious" || name == "CanPlay" || name == "CanPause" || name == "CanControl";
  return g_variant_new_boolean(yes);  // CanQuit, CanRaise, HasTrackList, CanSeek: no
}

void SPMprisMediaKeySource::close() {
  if (!connection_) return;
  releaseName();
  if (rootRegistration_) g_dbus_connection_unregister_object(connection_, rootRegistration_);
  if (playerRegistration_) g_dbus_connection_unregister_object(connection_, playerRegistration_);
  rootRegistration_ = playerRegistration_ = 0;
  enabled_ = false;
  dropWaiting();
  if (context_) g_main_context_unref(context_);
  context_ = nullptr;
  keys_ = nullptr;
  states_ = nullptr;
}
