#include "LogUploadAlerts.h"

#include "FileManagerReveal.h"
#include "ShellStrings.h"
#include "VLLogger.h"

namespace {

std::string lastPathComponent(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void closeAlert(GtkDialog* dialog, gint, gpointer) {
  gtk_widget_destroy(GTK_WIDGET(dialog));
}

void closeAlertAndReveal(GtkDialog* dialog, gint, gpointer data) {
  std::string path(static_cast<const char*>(data));
  gtk_widget_destroy(GTK_WIDGET(dialog));
  FileManagerReveal::reveal(path);
}

}  // namespace

LogUploadAlerts::LogUploadAlerts(GtkWindow* parent) : parent_(parent) {
  if (parent_) g_object_add_weak_pointer(G_OBJECT(parent_), reinterpret_cast<gpointer*>(&parent_));
}

LogUploadAlerts::~LogUploadAlerts() {
  if (alert_) g_object_remove_weak_pointer(G_OBJECT(alert_), reinterpret_cast<gpointer*>(&alert_));
  if (parent_) g_object_remove_weak_pointer(G_OBJECT(parent_), reinterpret_cast<gpointer*>(&parent_));
}

GtkWidget* LogUploadAlerts::makeAlert(GtkWindow* parent, GtkMessageType type, const std::string& title,
                                      const std::string& message, const std::string& button) {
  GtkWidget* alert = gtk_message_dialog_new(parent, GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
                                            type, GTK_BUTTONS_NONE, "%s", title.c_str());
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(alert), "%s", message.c_str());
  gtk_dialog_add_button(GTK_DIALOG(alert), button.c_str(), GTK_RESPONSE_OK);
  gtk_dialog_set_default_response(GTK_DIALOG(alert), GTK_RESPONSE_OK);
  return alert;
}

bool LogUploadAlerts::alertShows() const {
  if (alert_ == nullptr) return false;
  VL_LOG_INFO("A log upload alert already shows; the new one is not shown");
  return true;
}

void LogUploadAlerts::show(GtkWidget* alert) {
  alert_ = alert;
  g_object_add_weak_pointer(G_OBJECT(alert_), reinterpret_cast<gpointer*>(&alert_));
  gtk_widget_show(alert);
}

void LogUploadAlerts::showSendLogSuccessMessage() {
  if (alertShows()) return;
  GtkWidget* alert =
      makeAlert(parent_, GTK_MESSAGE_INFO, ShellStrings::text("log.upload.success.dialog.title"),
                ShellStrings::text("log.upload.success.dialog.message"), ShellStrings::text("dialog.button.label.ok"));
  g_signal_connect(alert, "response", G_CALLBACK(closeAlert), nullptr);
  show(alert);
}

void LogUploadAlerts::showSendLogFailureMessage(const std::string& archivePath) {
  if (alertShows()) return;
  std::string message = archivePath.empty() ? ShellStrings::text("log.upload.failure.dialog.message.no_archive")
                                            : ShellStrings::formatted("log.upload.failure.dialog.message",
                                                                      lastPathComponent(archivePath));
  GtkWidget* alert = makeAlert(parent_, GTK_MESSAGE_WARNING, ShellStrings::text("log.upload.failure.dialog.title"),
                               message, ShellStrings::text("log.upload.failure.dialog.ok.button"));
  if (archivePath.empty()) {
    g_signal_connect(alert, "response", G_CALLBACK(closeAlert), nullptr);
  } else {
    // The path lives as long as the alert.
    g_signal_connect_data(
        alert, "response", G_CALLBACK(closeAlertAndReveal), g_strdup(archivePath.c_str()),
        [](gpointer data, GClosure*) { g_free(data); }, GConnectFlags(0));
  }
  show(alert);
}
