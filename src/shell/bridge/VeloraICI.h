// The page's main object, published as "VeloraICI": page readiness and
// termination, settings, user identity, device information, offline
// downloads and file queries, the answer to the core's file-URL requests, the
// folder chooser, the proxy settings, the log upload, online and offline
// mode. It also carries the few scripts the application sends into the page.
//
// Threads: page methods and sendJs/changeLocationHash on the main thread; the
// signal senders and askTermination on any thread (they only post).
#pragma once

#include <gtk/gtk.h>

#include <cstdint>
#include <memory>
#include <string>

#include "PageObject.h"

class PagePublication;

class VeloraICI : public PageObject {
 public:
  // parent: the window the folder chooser belongs to (not owned; may be null).
  explicit VeloraICI(GtkWindow* parent);

  // The document the object was published into; the scripts go there.
  void setPublication(std::weak_ptr<PagePublication> publication) { publication_ = std::move(publication); }
  std::shared_ptr<PagePublication> publication() const { return publication_.lock(); }

  // Runs a script in the page (main thread); its result is ignored.
  void sendJs(const std::string& script);
  // Sets window.location.hash, with every double quote taken out of the text.
  void changeLocationHash(const std::string& hash);
  // The script changeLocationHash runs; empty when the text cannot be given.
  static std::string locationHashScript(const std::string& hash);
  // Any thread: posted to the main thread without waiting.
  void sendPlayTrackSignal();
  void sendPlayPreviousTrackSignal();
  void sendPlayNextTrackSignal();
  void openPreferences();
  void askTermination();

  // The longest the page's sleep holds the page (its web process, never the
  // application); longer ones (a date, say) are cut to it.
  static constexpr int64_t kLongestSleepMilliseconds = 5000;

  // The folder last chosen with the folder chooser; empty with none.
  const std::string& lastSelectedDir() const { return lastSelectedDir_; }
  bool hasLastSelectedDir() const { return hasLastSelectedDir_; }

 private:
  void postJs(const std::string& script);
  static PageValue sleep(PageCall& call);
  PageValue getDeviceInfo(PageCall& call);
  PageValue setFileUrl(PageCall& call);
  PageValue getFiles(PageCall& call, bool countOnly);
  PageValue openFolderBrowseDialog(PageCall& call);
  // Runs one of the per-file download operations over the page's array, or
  // the whole-queue one when the page gave undefined.
  void forEachFile(const PageValue& files, void (*one)(const std::string&, const std::string&, unsigned),
                   void (*all)());

  GtkWindow* parent_;
  std::weak_ptr<PagePublication> publication_;
  std::string lastSelectedDir_;
  bool hasLastSelectedDir_ = false;
};
