// The process entry: the log folder and the standard-error log, then the
// application and its main loop.
#include <gtk/gtk.h>

#include <cstdio>

#include "VLLogger.h"
#include "VeloraController.h"
#include "VeloraDesktopAppDelegate.h"

int main(int argc, char** argv) {
  // The standard error goes to "desktop_stderr.log" beside the core's log;
  // when that cannot be, it stays where it was.
  std::string folder = VLLogger::instance()->getLogFilePath("");
  if (!folder.empty()) {
    g_mkdir_with_parents(folder.c_str(), 0700);
    std::string path = folder + "/desktop_stderr.log";
    if (freopen(path.c_str(), "a", stderr) == nullptr) perror("desktop_stderr.log");
  }
  gtk_init(&argc, &argv);
  VeloraDesktopAppDelegate application;
  VeloraController::instance().setTerminateHandler([] { gtk_main_quit(); });
  if (!application.start()) return 1;
  g_signal_connect(application.window()->window(), "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer) {
    gtk_main_quit();
    return TRUE;
  }), nullptr);
  gtk_main();
  application.stop();
  return 0;
}
