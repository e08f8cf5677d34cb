#include "CrashReportSender.h"

#include <glib/gstdio.h>
#include <sys/stat.h>

#include "BlockingHttpRequest.h"
#include "CrashReporter.h"
#include "MultipartFormData.h"
#include "ShellStrings.h"
#include "VLLogger.h"

namespace {

// A server that does not answer in this time has failed; the report waits
// for the next start.
constexpr long kSendTimeoutMilliseconds = 60000;
constexpr size_t kKeptAnswerBytes = 64 * 1024;

}  // namespace

// Only a regular file of ours with content is a report: a link planted at its
// name would offer (and send) its target, and a crash on a full disk leaves
// an empty file. Anything else there is removed, never followed: it would
// also keep the next crash from writing its report (the handler makes the
// file anew). What could not be removed is said, with why.
bool CrashReportSender::isReport(const std::string& path) {
  GStatBuf status;
  if (g_lstat(path.c_str(), &status) != 0) return false;
  if (S_ISREG(status.st_mode) && status.st_size > 0) return true;
  const char* what =
      S_ISREG(status.st_mode) ? "is empty (the crash found no room on the disk?)" : "is not a regular file";
  // A folder goes only when it is empty: what it holds is not ours to delete.
  if (g_remove(path.c_str()) == 0) {
    VL_LOG_WARN("CrashReportSender " << path << " " << what << " and is removed");
  } else {
    VL_LOG_WARN("CrashReportSender " << path << " " << what << " and cannot be removed (" << g_strerror(errno)
                                     << "): no crash leaves a report until it is gone");
  }
  return false;
}

CrashReportSender::CrashReportSender(Settings settings) : settings_(std::move(settings)) {}

CrashReportSender::~CrashReportSender() {
  if (dialog_ != nullptr) gtk_widget_destroy(dialog_);
  cancel_ = true;
  if (sending_.joinable()) sending_.join();
}

bool CrashReportSender::offer(GtkWindow* parent) {
  if (dialog_ != nullptr || sending_.joinable()) return true;
  if (!isReport(settings_.reportPath)) return false;
  dialog_ = gtk_message_dialog_new(parent, GTK_DIALOG_DESTROY_WITH_PARENT, GTK_MESSAGE_QUESTION, GTK_BUTTONS_NONE, "%s",
                                   ShellStrings::text("crashreport.dialog.title").c_str());
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog_), "%s",
                                           ShellStrings::text("crashreport.dialog.message").c_str());
  gtk_dialog_add_button(GTK_DIALOG(dialog_), ShellStrings::text("crashreport.dialog.button.dont_send").c_str(),
                        GTK_RESPONSE_REJECT);
  gtk_dialog_add_button(GTK_DIALOG(dialog_), ShellStrings::text("crashreport.dialog.button.send").c_str(),
                        GTK_RESPONSE_ACCEPT);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog_), GTK_RESPONSE_ACCEPT);
  g_signal_connect(dialog_, "response", G_CALLBACK(onResponse), this);
  gtk_widget_show(dialog_);
  return true;
}

void CrashReportSender::onResponse(GtkDialog* dialog, int response, gpointer data) {
  auto* self = static_cast<CrashReportSender*>(data);
  self->dialog_ = nullptr;
  gtk_widget_destroy(GTK_WIDGET(dialog));
  if (response == GTK_RESPONSE_ACCEPT) {
    self->send();
  } else if (response == GTK_RESPONSE_REJECT) {
    g_unlink(self->settings_.reportPath.c_str());
  }
}

void CrashReportSender::send() {
  sending_ = std::thread([this] {
    MultipartFormData form;
    form.addText("app_id", CrashReporter::kApplicationIdentifier);
    form.addText("company", CrashReporter::kCompanyName);
    form.addText("version", settings_.version);
    form.addText("log", CrashReporter::crashReportApplicationLog(settings_.logFolder));
    HttpResponse response;
    if (!form.addFile("report", settings_.reportPath, CrashReporter::kMaximumReportBytes)) {
      VL_LOG_WARN("CrashReportSender::send cannot read " << settings_.reportPath);
      sendEnded_ = true;
      return;
    }
    // The report's texts come partly from pages (a thrown error's message):
    // a boundary they cannot know keeps them inside their fields.
    form.useRandomBoundary();
    BlockingHttpRequest request(settings_.address);
    request.addHeader("Content-Type: " + form.contentType());
    request.setPostBody(form.body());
    request.setTimeoutMilliseconds(kSendTimeoutMilliseconds);
    // Only the status matters: whatever else the server sends is not kept.
    request.setKeptBodySize(kKeptAnswerBytes);
    request.setCancelFlag(&cancel_);
    if (request.perform(response) && response.isSuccess()) {
      g_unlink(settings_.reportPath.c_str());
      VL_LOG_INFO("CrashReportSender::send the crash report was sent");
    } else if (response.answered) {
      VL_LOG_WARN("CrashReportSender::send the crash report was refused: HTTP " << response.status
                                                                                << "; it is kept for the next start");
    }
    sendEnded_ = true;
  });
}
