// The proxy settings the page opens (VeloraICI.openProxySettingsDialog): the
// desktop's own when the session runs GNOME or KDE and its settings program
// is installed; otherwise, when GNOME's proxy settings are installed (their
// schema, which the core reads the proxy from), a small dialog of ours that
// edits their mode and HTTP proxy; otherwise a warning in the log. One at a
// time: while the program we started runs or our dialog shows, another call
// only brings our dialog to the front (a page can call it without end).
//
// Threads: main thread only.
#pragma once

#include <gtk/gtk.h>

class ProxySettings {
 public:
  enum class Shown { kDesktopSettings, kOwnDialog, kNothing, kAlreadyOpen };

  // Opens the settings; our dialog is modal to `parent` (may be null) and
  // does not block: it writes the settings when the user confirms them.
  static Shown open(GtkWindow* parent);
  // Whether settings we opened still show (their program runs, or our dialog).
  static bool isOpen() { return program_ != 0 || dialog_ != nullptr; }

 private:
  static bool openDesktopSettings();
  static void showOwnDialog(GtkWindow* parent, GSettings* proxy, GSettings* http);

  static GPid program_;       // the settings program we started, until it ends; 0 for none
  static GtkWidget* dialog_;  // our dialog while it shows
};
