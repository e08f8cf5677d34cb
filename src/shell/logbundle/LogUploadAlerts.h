#pragma once

#include <gtk/gtk.h>
#include <string>

#include "LogUploadPresenter.h"

// The log upload's alerts, as GTK message dialogs over the main window:
// success, an information alert with an OK button; failure, an alert naming
// the archive kept on the desktop, after which the archive is shown in the
// file manager (FileManagerReveal). One alert at a time: while one shows,
// another outcome is logged instead of stacking a second modal alert. Texts in the user's language
// (ShellStrings). The dialogs are modal to the window but
// do not block the main loop.
//
// Main thread only.
class LogUploadAlerts : public LogUploadPresenter {
 public:
  // `parent`: the main window (may be null); weakly referenced.
  explicit LogUploadAlerts(GtkWindow* parent);
  ~LogUploadAlerts() override;
  LogUploadAlerts(const LogUploadAlerts&) = delete;
  LogUploadAlerts& operator=(const LogUploadAlerts&) = delete;

  void showSendLogSuccessMessage() override;
  void showSendLogFailureMessage(const std::string& archivePath) override;

 private:
  static GtkWidget* makeAlert(GtkWindow* parent, GtkMessageType type, const std::string& title,
                              const std::string& message, const std::string& button);

  bool alertShows() const;
  void show(GtkWidget* alert);

  GtkWindow* parent_;
  GtkWidget* alert_ = nullptr;  // the alert showing; weakly referenced
};
