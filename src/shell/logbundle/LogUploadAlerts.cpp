#include "LogUploadAlerts.h"

#include <map>

#include "FileManagerReveal.h"

namespace {

// The English texts of the keys the alerts use.
const std::map<std::string, std::string>& englishStrings()
{
    static const std::map<std::string, std::string> strings = {
        {"dialog.button.label.ok", "OK"},
        {"log.upload.success.dialog.title", "Log files sent"},
        {"log.upload.success.dialog.message", "Thank you: your log files have been sent to Velora support."},
        {"log.upload.failure.dialog.title", "The log files could not be sent"},
        {"log.upload.failure.dialog.ok.button", "OK"},
        {"log.upload.failure.dialog.message",
         "They have been saved on your desktop as \xE2\x80\x9C%@\xE2\x80\x9D. Please send this file to Velora "
         "support."},
        {"log.upload.failure.dialog.message.no_archive",
         "The log files could not be gathered. The application's log tells why."},
    };
    return strings;
}

// The text with its one "%@" replaced by the argument (never used as a
// printf format: file names may hold any character).
std::string formatted(const std::string& text, const std::string& argument)
{
    std::string::size_type place = text.find("%@");
    return place == std::string::npos ? text : text.substr(0, place) + argument + text.substr(place + 2);
}

std::string lastPathComponent(const std::string& path)
{
    std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void closeAlert(GtkDialog* dialog, gint, gpointer)
{
    gtk_widget_destroy(GTK_WIDGET(dialog));
}

void closeAlertAndReveal(GtkDialog* dialog, gint, gpointer data)
{
    std::string path(static_cast<const char*>(data));
    gtk_widget_destroy(GTK_WIDGET(dialog));
    FileManagerReveal::reveal(path);
}

}  // namespace

LogUploadAlerts::LogUploadAlerts(GtkWindow* parent)
    : m_parent(parent)
{
    if (m_parent)
        g_object_add_weak_pointer(G_OBJECT(m_parent), reinterpret_cast<gpointer*>(&m_parent));
}

LogUploadAlerts::~LogUploadAlerts()
{
    if (m_parent)
        g_object_remove_weak_pointer(G_OBJECT(m_parent), reinterpret_cast<gpointer*>(&m_parent));
}

std::string LogUploadAlerts::localizedString(const std::string& key)
{
    auto found = englishStrings().find(key);
    return found == englishStrings().end() ? std::string() : found->second;
}

GtkWidget* LogUploadAlerts::makeAlert(GtkWindow* parent, GtkMessageType type, const std::string& title,
                                      const std::string& message, const std::string& button)
{
    GtkWidget* alert = gtk_message_dialog_new(parent, GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
                                              type, GTK_BUTTONS_NONE, "%s", title.c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(alert), "%s", message.c_str());
    gtk_dialog_add_button(GTK_DIALOG(alert), button.c_str(), GTK_RESPONSE_OK);
    gtk_dialog_set_default_response(GTK_DIALOG(alert), GTK_RESPONSE_OK);
    return alert;
}

void LogUploadAlerts::showSendLogSuccessMessage()
{
    GtkWidget* alert = makeAlert(m_parent, GTK_MESSAGE_INFO, localizedString("log.upload.success.dialog.title"),
                                 localizedString("log.upload.success.dialog.message"),
                                 localizedString("dialog.button.label.ok"));
    g_signal_connect(alert, "response", G_CALLBACK(closeAlert), nullptr);
    gtk_widget_show(alert);
}

void LogUploadAlerts::showSendLogFailureMessage(const std::string& archivePath)
{
    std::string message =
        archivePath.empty()
            ? localizedString("log.upload.failure.dialog.message.no_archive")
            : formatted(localizedString("log.upload.failure.dialog.message"), lastPathComponent(archivePath));
    GtkWidget* alert = makeAlert(m_parent, GTK_MESSAGE_WARNING, localizedString("log.upload.failure.dialog.title"),
                                 message, localizedString("log.upload.failure.dialog.ok.button"));
    if (archivePath.empty()) {
        g_signal_connect(alert, "response", G_CALLBACK(closeAlert), nullptr);
    } else {
        // The path lives as long as the alert.
        g_signal_connect_data(alert, "response", G_CALLBACK(closeAlertAndReveal), g_strdup(archivePath.c_str()),
                              [](gpointer data, GClosure*) { g_free(data); }, GConnectFlags(0));
    }
    gtk_widget_show(alert);
}
