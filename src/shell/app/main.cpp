// The process entry: the log folder (private to the user) and the
// standard-error log (rolled at its cap), the two command-line options, then
// the application: one instance per session (GtkApplication, unique on the
// session bus). A second launch hands its addresses ("veloraapp://album/1")
// to the running instance and ends; SIGTERM and SIGINT quit in order (open
// dialogs close unanswered; the core is stopped and saves what it holds).
#include <X11/Xlib.h>
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ApplicationActivity.h"
#include "BusDaemonCall.h"
#include "CommandLineOptions.h"
#include "DataFolderLock.h"
#include "FrontKeyGrab.h"
#include "GlobalShortcutsPortal.h"
#include "HIDRemote.h"
#include "MediaKeys.h"
#include "NotificationSender.h"
#include "ShellTrace.h"
#include "SleepWatch.h"
#include "StandardErrorLog.h"
#include "VLLogger.h"
#include "VLPlatformFactory.h"
#include "VLSettingHelper.h"
#include "VeloraController.h"
#include "VeloraDesktopAppDelegate.h"

namespace {

constexpr const char* kApplicationId = "org.velora.Desktop";

struct Application {
  GtkApplication* gtk = nullptr;
  std::unique_ptr<VeloraDesktopAppDelegate> delegate;
  std::unique_ptr<SleepWatch> sleepWatch;
  std::unique_ptr<GlobalShortcutsPortal> frontPortal;
  std::unique_ptr<FrontKeyGrab> frontKey;
  std::unique_ptr<ApplicationActivity> activity;
  std::unique_ptr<MediaKeys> mediaKeys;
  bool started = false;
  int status = 0;
};

// The log folder holds what a log bundle uploads: the user's alone, also
// when an earlier version made it open to all.
void prepareLogFolder() {
  std::string folder = VLLogger::instance()->getLogFilePath("");
  if (folder.empty()) {
    shellTrace("main", "no log folder: desktop.log and desktop_stderr.log are not written");
    return;
  }
  // Our own folder (the setting helper made it, never "." or a folder above).
  chmod(folder.c_str(), 0700);
  // Rolled at its cap: pages can make the application and its web processes
  // write without end.
  if (!StandardErrorLog::start(folder + "/desktop_stderr.log")) {
    shellTrace("main", "desktop_stderr.log: standard error goes to the file directly");
  }
}

VeloraDesktopAppDelegate& delegateOf(Application& application) {
  if (application.delegate == nullptr) application.delegate = std::make_unique<VeloraDesktopAppDelegate>();
  return *application.delegate;
}

// time: of the event that asks for it, so that the window manager's
// focus-stealing prevention lets the window come forward.
void present(Application& application, guint32 time = GDK_CURRENT_TIME) {
  if (application.started) gtk_window_present_with_time(application.delegate->window()->window(), time);
}

// The front key: through the desktop's portal where it offers one (the one
// way under Wayland), else an X11 grab; FrontKeyGrab traces when neither is.
void bindFrontKey(Application& application) {
  auto front = [&application](guint32 time) { present(application, time); };
  application.frontPortal =
      std::make_unique<GlobalShortcutsPortal>(front, [&application, front](const std::string& reason) {
        shellTrace("main", "no global shortcut from the desktop portal (" + reason + "): an X11 grab instead");
        application.frontKey = std::make_unique<FrontKeyGrab>(front);
      });
}

// The remote is taken while the application is active (any window of ours)
// and given back when another one is (in its exclusive-while-active mode).
void onApplicationActiveChanged(bool active) {
  HIDRemote* remote = VeloraController::instance().remote();
  if (active) {
    remote->applicationDidBecomeActive();
  } else {
    remote->applicationWillResignActive();
  }
}

// The start-up sequence, once.
void launch(Application& application) {
  if (application.started || application.status != 0) return;
  VeloraDesktopAppDelegate& delegate = delegateOf(application);
  GtkApplication* gtk = application.gtk;
  delegate.setQuitHandler([gtk] { g_application_quit(G_APPLICATION(gtk)); });
  VeloraController::instance().setTerminateHandler([&delegate] { delegate.applicationShouldTerminate(); });
  shellTrace("main", "--- Application started with url: " + delegate.playerAddress());
  if (!delegate.start()) {
    application.status = 1;
    g_application_quit(G_APPLICATION(gtk));
    return;
  }
  application.started = true;
  gtk_application_add_window(gtk, delegate.window()->window());
  bindFrontKey(application);
  application.activity = std::make_unique<ApplicationActivity>();
  application.activity->addActiveHandler(onApplicationActiveChanged);
  application.mediaKeys = std::make_unique<MediaKeys>(application.activity.get());
  application.sleepWatch = std::make_unique<SleepWatch>();
  // Last: the desktop's notifications.
  NotificationSender::instance().start();
}

// Quit, as the desktop and the session ask for it: put to the page. (The
// window's own menu carries Control-Q.)
void addQuitAction(Application& application) {
  GSimpleAction* quit = g_simple_action_new("quit", nullptr);
  g_signal_connect_swapped(quit, "activate", G_CALLBACK(+[](Application* application) {
                             if (application->started) {
                               application->delegate->applicationShouldTerminate();
                             } else {
                               g_application_quit(G_APPLICATION(application->gtk));
                             }
                           }),
                           &application);
  g_action_map_add_action(G_ACTION_MAP(application.gtk), G_ACTION(quit));
  g_object_unref(quit);
}

// The session bus connection is the process's shared one (the single
// instance, notifications, the media player, the portal): GLib ends the
// process when the bus closes it, which a bus does to a client that sends a
// message past its limit. Without the bus the window and the player go on;
// what needs the bus says so in the log.
void keepRunningWithoutTheBus(GApplication* gtk) {
  GDBusConnection* bus = g_application_get_dbus_connection(gtk);
  if (bus == nullptr) return;
  g_dbus_connection_set_exit_on_close(bus, FALSE);
  g_signal_connect(bus, "closed", G_CALLBACK(+[](GDBusConnection*, gboolean, GError* error, gpointer) {
                     std::string reason = error != nullptr ? error->message : "closed by us";
                     shellTrace("main", "the session bus connection is closed (" + reason + "): going on without it");
                     VL_LOG_WARN("main the session bus connection is closed (" << reason << "): going on without it");
                   }),
                   nullptr);
}

void onStartup(GApplication* gtk, gpointer data) {
  keepRunningWithoutTheBus(gtk);
  addQuitAction(*static_cast<Application*>(data));
}

void onActivate(GtkApplication*, gpointer data) {
  auto* application = static_cast<Application*>(data);
  launch(*application);
  present(*application);
}

void onOpen(GApplication*, GFile** files, gint count, const gchar*, gpointer data) {
  auto* application = static_cast<Application*>(data);
  // Before the start the location goes with the player page's first load.
  for (gint i = 0; i < count; ++i) {
    gchar* uri = g_file_get_uri(files[i]);
    if (!delegateOf(*application).doOpenVeloraURI(uri))
      shellTrace("main", std::string("not an address of ours: ") + uri);
    g_free(uri);
  }
  launch(*application);
  present(*application);
}

// A dialog that runs a main loop of its own (gtk_dialog_run) holds the quit
// until it is answered: each open dialog closes unanswered, as when the user
// closes its window.
void closeDialogs() {
  GList* windows = gtk_window_list_toplevels();
  g_list_foreach(windows, reinterpret_cast<GFunc>(g_object_ref), nullptr);  // a response may destroy others
  for (GList* item = windows; item != nullptr; item = item->next) {
    if (GTK_IS_DIALOG(item->data) && gtk_widget_get_visible(GTK_WIDGET(item->data))) {
      gtk_dialog_response(GTK_DIALOG(item->data), GTK_RESPONSE_DELETE_EVENT);
    }
  }
  g_list_free_full(windows, g_object_unref);
}

gboolean onSignal(gpointer data) {
  auto* application = static_cast<Application*>(data);
  shellTrace("main", "terminated by a signal: quitting");
  g_application_quit(G_APPLICATION(application->gtk));
  closeDialogs();
  return G_SOURCE_CONTINUE;
}

// --remove-folder deletes what a running client works in (its indexes, web
// stores, imports): refused while another instance runs. A running client
// holds its data folder's lock, which tells it also from a terminal or a
// script without the session bus or a display; a client that holds no lock
// (an older one) is found by its name on the session bus. The refusal is
// said on the command's own standard error.
bool anotherInstanceRuns(DataFolderLock& folderLock, const std::string& folder) {
  std::string why;
  DataFolderLock::Exclusive lock = folderLock.takeExclusive(folder, why);
  if (lock == DataFolderLock::Exclusive::Unknown) {
    shellTrace("main", "cannot take the data folder's lock (" + why + "): asking the session bus");
  }
  bool running = lock == DataFolderLock::Exclusive::HeldByAClient;
  if (!running) {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    GVariant* reply =
        bus != nullptr ? callBusDaemon(bus, "NameHasOwner", g_variant_new("(s)", kApplicationId), G_VARIANT_TYPE("(b)"))
                       : nullptr;
    gboolean remote = FALSE;
    if (reply != nullptr) {
      g_variant_get(reply, "(b)", &remote);
      g_variant_unref(reply);
    } else {
      shellTrace("main", std::string("cannot ask the session bus whether another instance runs: ") +
                             (error != nullptr ? error->message : "the session bus does not answer"));
    }
    if (error != nullptr) g_error_free(error);
    if (bus != nullptr) g_object_unref(bus);
    running = remote;
  }
  if (running) {
    shellTrace("main", "--remove-folder refused: the application is running; quit it first");
    fprintf(stderr, "velora-desktop: --remove-folder refused: the application is running; quit it first\n");
  }
  return running;
}

}  // namespace

int main(int argc, char** argv) {
  // The media-key tap talks to the X server from a thread of its own.
  XInitThreads();
  std::vector<std::string> arguments(argv, argv + argc);
  VLSettingHelper& settings = *VLPlatformFactory::instance()->getSettingHelper();
  // The options end the process before the application starts: what they
  // say goes to the terminal or script that gave them, not to the log of a
  // client that runs. The removal holds the data folder's lock exclusive
  // while it removes.
  DataFolderLock folderLock;
  if (std::find(arguments.begin(), arguments.end(), "--remove-folder") != arguments.end() &&
      anotherInstanceRuns(folderLock, settings.getLocalPath(VLSettingHelper::LOCAL_FOLDER_APPLICATION))) {
    return 1;
  }
  int optionsStatus = 0;
  if (CommandLineOptions::processCommandLineArguments(arguments, settings, &optionsStatus)) return optionsStatus;
  prepareLogFolder();
  folderLock.holdShared(settings.getLocalPath(VLSettingHelper::LOCAL_FOLDER_APPLICATION));

  Application application;
  application.gtk = gtk_application_new(kApplicationId, G_APPLICATION_HANDLES_OPEN);
  g_signal_connect(application.gtk, "startup", G_CALLBACK(onStartup), &application);
  g_signal_connect(application.gtk, "activate", G_CALLBACK(onActivate), &application);
  g_signal_connect(application.gtk, "open", G_CALLBACK(onOpen), &application);
  guint term = g_unix_signal_add(SIGTERM, onSignal, &application);
  guint interrupt = g_unix_signal_add(SIGINT, onSignal, &application);
  int status = g_application_run(G_APPLICATION(application.gtk), argc, argv);
  g_source_remove(term);
  g_source_remove(interrupt);

  // The orderly end: the remote is given back, the core stops (indexes and
  // stores saved) before exit.
  VeloraController::instance().remote()->applicationWillTerminate();
  application.mediaKeys.reset();
  application.activity.reset();
  application.frontPortal.reset();
  application.frontKey.reset();
  application.sleepWatch.reset();
  if (application.delegate != nullptr) application.delegate->stop();
  application.delegate.reset();
  g_object_unref(application.gtk);
  return status != 0 ? status : application.status;
}
