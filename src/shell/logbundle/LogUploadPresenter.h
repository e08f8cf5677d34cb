#pragma once

#include <string>

// What the user is told about a log upload. Called on the main thread, once
// per upload, after the upload has ended.
class LogUploadPresenter {
 public:
  virtual ~LogUploadPresenter() {}

  // The bundle was received by the service (its archive is already deleted).
  virtual void showSendLogSuccessMessage() = 0;
  // The bundle was not sent. `archivePath`: the archive kept on the desktop,
  // to be shown to the user; empty when no archive could be made.
  virtual void showSendLogFailureMessage(const std::string& archivePath) = 0;
};
