// Offers the crash report left by the last run. When one waits, a dialog
// that does not block the window asks whether to send it. Send posts it off
// the main thread to the crash-report address, as multipart form data with
// the fields (under a random boundary no value holds) "app_id" (CrashReporter's identifier), "company" ("Velora"),
// "version", "log" (the log folder's text, CrashReporter::
// crashReportApplicationLog) and "report" (the report's first
// CrashReporter::kMaximumReportBytes); only a regular file with content is
// offered (an empty one, a link, an empty folder or anything else at its name
// is removed, and the log says so, or why it could not be); the report is
// removed once the server has taken it (a 2xx answer), and kept for the next
// start when the send fails. Don't send removes it at once. Closing the
// dialog without an answer keeps it.
//
// Threads: main thread, but for the send's own thread, which the destructor
// stops and joins.
#pragma once

#include <gtk/gtk.h>

#include <atomic>
#include <string>
#include <thread>

class CrashReportSender {
 public:
  struct Settings {
    std::string reportPath;  // CrashReporter::reportPath
    std::string address;     // where reports are posted (http or https)
    std::string logFolder;   // whose text goes with the report
    std::string version;     // "short version (build)"
  };

  explicit CrashReportSender(Settings settings);
  ~CrashReportSender();
  CrashReportSender(const CrashReportSender&) = delete;
  CrashReportSender& operator=(const CrashReportSender&) = delete;

  // Asks about the waiting report, over the parent; false when none waits.
  bool offer(GtkWindow* parent);
  // The question while it shows; null otherwise.
  GtkWidget* dialog() const { return dialog_; }
  // Whether a send has ended (successfully or not).
  bool sendEnded() const { return sendEnded_; }

 private:
  static bool isReport(const std::string& path);
  static void onResponse(GtkDialog* dialog, int response, gpointer self);
  void send();

  Settings settings_;
  GtkWidget* dialog_ = nullptr;
  std::thread sending_;
  std::atomic<bool> cancel_{false};
  std::atomic<bool> sendEnded_{false};
};
