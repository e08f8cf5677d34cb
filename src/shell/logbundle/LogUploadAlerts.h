#ifndef LOG_UPLOAD_ALERTS_H
#define LOG_UPLOAD_ALERTS_H

#include <gtk/gtk.h>
#include <string>

#include "LogUploadPresenter.h"

// The log upload's alerts, as GTK message dialogs over the main window:
// success, an information alert with an OK button; failure, an alert naming
// the archive kept on the desktop, after which the archive is shown in the
// file manager (FileManagerReveal). The dialogs are modal to the window but
// do not block the main loop.
//
// Main thread only.
class LogUploadAlerts : public LogUploadPresenter
{
public:
    // `parent`: the main window (may be null); weakly referenced.
    explicit LogUploadAlerts(GtkWindow* parent);
    ~LogUploadAlerts() override;
    LogUploadAlerts(const LogUploadAlerts&) = delete;
    LogUploadAlerts& operator=(const LogUploadAlerts&) = delete;

    void showSendLogSuccessMessage() override;
    void showSendLogFailureMessage(const std::string& archivePath) override;

    // The user-visible text of a key of the application's strings.
    static std::string localizedString(const std::string& key);

private:
    static GtkWidget* makeAlert(GtkWindow* parent, GtkMessageType type, const std::string& title,
                                const std::string& message, const std::string& button);

    GtkWindow* m_parent;
};

#endif
