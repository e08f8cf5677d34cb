// The proxy settings the page opens (VeloraICI.openProxySettingsDialog): the
// desktop's own when the session runs GNOME or KDE and its settings program
// is installed; otherwise, when GNOME's proxy settings are installed (their
// schema, which the core reads the proxy from), a small dialog of ours that
// edits their mode and HTTP proxy; otherwise a warning in the log.
//
// Threads: main thread only.
#pragma once

#include <gtk/gtk.h>

class ProxySettings {
 public:
  enum class Shown { kDesktopSettings, kOwnDialog, kNothing };

  // Opens the settings; our dialog is modal to `parent` (may be null) and
  // does not block: it writes the settings when the user confirms them.
  static Shown open(GtkWindow* parent);

 private:
  static bool openDesktopSettings();
  static void showOwnDialog(GtkWindow* parent, GSettings* proxy, GSettings* http);
};
