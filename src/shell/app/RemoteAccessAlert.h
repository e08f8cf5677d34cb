// The alert offered when a remote control receiver is there but the user may
// not open its input device: the remote cannot work until that access is
// given once. Texts in the user's language; the default button shows how to
// set the access up (the udev rule), the alternate one more about it, both
// on a help page of ours opened in the user's browser or help viewer; the
// other button cancels.
//
// Threads: main thread only.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <string>

class RemoteAccessAlert {
 public:
  enum class Answer { kSetUp, kMoreInformation, kCancel };
  // Opens an address in the user's browser or help viewer.
  using Opener = std::function<void(const std::string& address)>;

  // Runs the alert modally over `parent` (may be null), then opens the help
  // page the answer asks for with `opener` (the desktop's handler when empty).
  static Answer run(GtkWindow* parent, const Opener& opener = Opener());

 private:
  // The help page's address at the section of the answer ("" for cancel):
  // the page is written into `folder` first. Empty when it cannot be written.
  static std::string helpAddress(Answer answer, const std::string& folder);
};
