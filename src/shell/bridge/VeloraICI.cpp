#include "VeloraICI.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "Binding.h"
#include "BridgeHost.h"
#include "JSONKitSerializing.h"
#include "MainLoopQueue.h"
#include "PageCall.h"
#include "PageCallback.h"
#include "PageInputLimits.h"
#include "PagePublication.h"
#include "ProxySettings.h"
#include "ShellStrings.h"
#include "VLDesktopKeyValue.h"
#include "VLLogger.h"

namespace {

Binding* core() {
  return Binding::instance();
}

// The text of a value the page gives for a text parameter: a string as it
// is, null and undefined as "", anything else as String() gives it.
std::string textOf(const PageValue& value) {
  return value.isString() ? value.stringValue() : value.text();
}

}  // namespace

VeloraICI::VeloraICI(GtkWindow* parent) : PageObject("VeloraICI"), parent_(parent) {
  declare("init", "", [](PageCall&) {
    core()->setJSReady(true);
    return PageValue();
  });
  declare("terminate", "", [](PageCall&) {
    core()->setJSReady(false);
    BridgeHost::instance().setApplicationTerminated(true);
    BridgeHost::instance().requestTermination();
    return PageValue();
  });
  declareWithResult("sleep", "n", [](PageCall& call) { return sleep(call); });
  declareWithResult("getDeviceInfo", "v", [this](PageCall& call) { return getDeviceInfo(call); });
  declare("setFileUrl", "vvnv", [this](PageCall& call) { return setFileUrl(call); });
  declareWithResult("setUserId", "v", [](PageCall& call) {
    std::string userId = textOf(call.argument(0));
    std::string refused = PageInputLimits::refuseUserId(userId);
    if (refused.empty()) {
      core()->setUserId(userId);
    } else {
      VL_LOG_WARN("VeloraICI::setUserId refused " + refused);
    }
    return PageValue();
  });
  declareWithResult("getSetting", "s", [](PageCall& call) {
    return PageValue::string(core()->getSetting(call.argument(0).stringValue()));
  });
  declare("setSetting", "sv", [this](PageCall& call) {
    const std::string& key = call.argument(0).stringValue();
    std::string value = textOf(call.argument(1));
    std::string refused = PageInputLimits::refuseSetting(key, value, lastSelectedDir_);
    if (refused.empty()) {
      core()->setSetting(key, value);
    } else {
      VL_LOG_WARN("VeloraICI::setSetting refused " + refused);
    }
    return PageValue();
  });
  declare("addFiles", "v", [](PageCall& call) {
    const PageValue& files = call.argument(0);
    for (const PageValue& file : files.isArray() ? files.elements() : std::vector<PageValue>()) {
      core()->addFile(textOf(file.get("repository")), textOf(file.get("entity_id")),
                      static_cast<unsigned>(file.get("format_id").toInt()), textOf(file.get("metadata")));
    }
    return PageValue();
  });
  declare("removeFiles", "v", [this](PageCall& call) {
    forEachFile(
        call.argument(0), [](const std::string& r, const std::string& e, unsigned f) { core()->removeFile(r, e, f); },
        [] { core()->removeFiles(); });
    return PageValue();
  });
  declare("resumeDownloads", "v", [this](PageCall& call) {
    forEachFile(
        call.argument(0),
        [](const std::string& r, const std::string& e, unsigned f) { core()->resumeDownload(r, e, f); },
        [] { core()->resumeDownloads(); });
    return PageValue();
  });
  declare("pauseDownloads", "v", [this](PageCall& call) {
    forEachFile(
        call.argument(0),
        [](const std::string& r, const std::string& e, unsigned f) { core()->pauseDownload(r, e, f); },
        [] { core()->pauseDownloads(); });
    return PageValue();
  });
  declare("hideDownloads", "v", [this](PageCall& call) {
    forEachFile(
        call.argument(0), [](const std::string& r, const std::string& e, unsigned f) { core()->hideDownload(r, e, f); },
        [] { core()->hideDownloads(); });
    return PageValue();
  });
  declare("setDownloadPositions", "vn", [](PageCall& call) {
    const PageValue& files = call.argument(0);
    int position = call.argument(1).toInt();
    if (!files.isArray()) return PageValue();
    for (size_t i = files.size(); i-- > 0;) {
      const PageValue& file = files.at(i);
      core()->setDownloadPosition(textOf(file.get("repository")), textOf(file.get("entity_id")),
                                  static_cast<unsigned>(file.get("format_id").toInt()), position);
    }
    return PageValue();
  });
  declare("getFiles", "vnnf", [this](PageCall& call) { return getFiles(call, false); });
  declare("getFileCount", "vnnf", [this](PageCall& call) { return getFiles(call, true); });
  declareWithResult("openFolderBrowseDialog", "v", [this](PageCall& call) { return openFolderBrowseDialog(call); });
  declare("openProxySettingsDialog", "", [this](PageCall&) {
    ProxySettings::open(parent_);
    return PageValue();
  });
  declare("setOffline", "", [](PageCall&) {
    core()->setOffline();
    return PageValue();
  });
  declare("setOnline", "", [](PageCall&) {
    core()->setOnline();
    return PageValue();
  });
  declare("sendLog", "vvv", [](PageCall& call) {
    BridgeHost::instance().sendLogForUserId(textOf(call.argument(0)), textOf(call.argument(1)),
                                            textOf(call.argument(2)));
    return PageValue();
  });
  declare("clearCache", "", [](PageCall&) {
    core()->clearCache();
    return PageValue();
  });
  declare("resetSettings", "", [](PageCall&) {
    core()->resetSettings();
    return PageValue();
  });
}

void VeloraICI::forEachFile(const PageValue& files, void (*one)(const std::string&, const std::string&, unsigned),
                            void (*all)()) {
  if (files.isUndefined()) {
    all();
    return;
  }
  if (!files.isArray()) return;
  for (const PageValue& file : files.elements()) {
    one(textOf(file.get("repository")), textOf(file.get("entity_id")),
        static_cast<unsigned>(file.get("format_id").toInt()));
  }
}

PageValue VeloraICI::sleep(PageCall& call) {
  // The page waits for the answer in its own process; the application's main
  // loop answers when the time is up and goes on meanwhile. Whole
  // milliseconds, never negative, and never longer than a page can need.
  int64_t milliseconds = std::clamp<int64_t>(call.argument(0).toInt64(), 0, kLongestSleepMilliseconds);
  std::unique_ptr<PageAnswer> answer = call.defer();
  if (answer == nullptr || milliseconds == 0) return PageValue();
  g_timeout_add_full(
      G_PRIORITY_DEFAULT, static_cast<guint>(milliseconds), [](gpointer) { return G_SOURCE_REMOVE; }, answer.release(),
      [](gpointer answer) { delete static_cast<PageAnswer*>(answer); });
  return PageValue();
}

PageValue VeloraICI::getDeviceInfo(PageCall& call) {
  const PageValue& key = call.argument(0);
  if (key.isNullOrUndefined()) return PageValue::null();
  std::string* text = nullptr;
  double* number = nullptr;
  std::vector<VLDesktopKeyValue*>* list = nullptr;
  core()->getDeviceInfo(textOf(key), text, number, list);
  PageValue result = PageValue::null();
  if (text != nullptr) {
    result = PageValue::string(*text);
  } else if (number != nullptr) {
    result = PageValue::number(*number);
  } else if (list != nullptr) {
    result = Binding::keyValuesToPage(*list);
    for (VLDesktopKeyValue* pair : *list) delete pair;
  }
  delete text;
  delete number;
  delete list;
  return result;
}

PageValue VeloraICI::setFileUrl(PageCall& call) {
  const PageValue& file = call.argument(0);
  unsigned formatId = static_cast<unsigned>(file.get("format_id").toInt());
  int newFormatId = call.argument(2).toInt();
  const PageValue& data = call.argument(3);
  core()->setFileUrl(textOf(file.get("repository")), textOf(file.get("entity_id")), formatId, textOf(call.argument(1)),
                     newFormatId != 0 ? static_cast<unsigned>(newFormatId) : formatId,
                     data.isUndefined() ? std::string() : textOf(data));
  return PageValue();
}

PageValue VeloraICI::getFiles(PageCall& call, bool countOnly) {
  std::vector<std::string> repositories;
  const PageValue& names = call.argument(0);
  if (names.isArray()) {
    for (const PageValue& name : names.elements()) repositories.push_back(textOf(name));
  }
  int fileFlags = call.argument(1).toInt();
  unsigned downloadState = static_cast<unsigned>(call.argument(2).toInt());
  std::unique_ptr<PageCallback> callback = call.callback(3);
  if (callback == nullptr) callback = std::make_unique<PageCallback>(std::weak_ptr<PagePublication>(), 0);
  // The core refuses queries while the page is not ready or it is not
  // running, and then never answers: the callback is released here instead
  // of being left in the page.
  bool accepted = core()->isJSReady() && BridgeHost::instance().isCoreRunning();
  void* handed = accepted ? callback.release() : callback.get();
  if (countOnly) {
    core()->getFileCount(repositories, fileFlags, downloadState, handed);
  } else {
    core()->getFiles(repositories, fileFlags, downloadState, handed);
  }
  return PageValue();
}

PageValue VeloraICI::openFolderBrowseDialog(PageCall& call) {
  struct Chooser {
    VeloraICI* ici;
    std::unique_ptr<PageAnswer> answer;
    std::weak_ptr<PagePublication> publication;
  };
  GtkWidget* dialog = gtk_file_chooser_dialog_new(
      ShellStrings::text("dialog.directory.chooser.title").c_str(), parent_, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER,
      ShellStrings::text("dialog.button.label.cancel").c_str(), GTK_RESPONSE_CANCEL,
      ShellStrings::text("dialog.directory.chooser.label.ok").c_str(), GTK_RESPONSE_ACCEPT, nullptr);
  gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
  const PageValue& start = call.argument(0);
  if (start.isString() && !start.stringValue().empty()) {
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dialog), start.stringValue().c_str());
  }
  // The page waits for the answer; the application's main loop does not.
  auto* chooser = new Chooser{this, call.defer(), call.publication()};
  g_signal_connect(dialog, "response", G_CALLBACK(+[](GtkDialog* dialog, int response, gpointer data) {
                     std::unique_ptr<Chooser> chooser(static_cast<Chooser*>(data));
                     PageValue result = PageValue::null();
                     // The object belongs to the publication: only touch it while that lives.
                     auto publication = chooser->publication.lock();
                     char* folder = response == GTK_RESPONSE_ACCEPT
                                        ? gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog))
                                        : nullptr;
                     if (publication != nullptr) {
                       chooser->ici->hasLastSelectedDir_ = folder != nullptr;
                       chooser->ici->lastSelectedDir_ = folder != nullptr ? folder : "";
                     }
                     if (folder != nullptr) result = PageValue::string(folder);
                     g_free(folder);
                     if (chooser->answer != nullptr) chooser->answer->answer(result);
                     gtk_widget_destroy(GTK_WIDGET(dialog));
                   }),
                   chooser);
  gtk_widget_show(dialog);
  return PageValue::null();
}

void VeloraICI::sendJs(const std::string& script) {
  if (auto page = publication()) page->evaluate(script);
}

void VeloraICI::changeLocationHash(const std::string& hash) {
  std::string script = locationHashScript(hash);
  if (!script.empty()) sendJs(script);
}

std::string VeloraICI::locationHashScript(const std::string& hash) {
  std::string clean;
  for (char c : hash) {
    if (c != '"') clean += c;
  }
  // Handed to the page as a JSON string, never pasted into the script as text.
  gchar* valid = g_utf8_make_valid(clean.c_str(), static_cast<gssize>(clean.size()));
  std::optional<std::string> literal = JSONString(std::string(valid));
  g_free(valid);
  if (!literal) return "";
  return "window.location.hash = " + *literal + ";";
}

void VeloraICI::postJs(const std::string& script) {
  std::weak_ptr<PagePublication> publication = publication_;
  MainLoopQueue::instance().post([publication, script] {
    if (auto page = publication.lock()) page->evaluate(script);
  });
}

void VeloraICI::sendPlayTrackSignal() {
  postJs("VeloraAPI.triggerKeyboardShortcut('playpause');");
}
void VeloraICI::sendPlayPreviousTrackSignal() {
  postJs("VeloraAPI.triggerKeyboardShortcut('previoustrack');");
}
void VeloraICI::sendPlayNextTrackSignal() {
  postJs("VeloraAPI.triggerKeyboardShortcut('nexttrack');");
}
void VeloraICI::openPreferences() {
  postJs("window.location = '/#!/user-settings';");
}

void VeloraICI::askTermination() {
  g_message("VeloraICI::askTermination ");
  // A page without askTermination agrees at once: window.close() alone would
  // not do, WebKit refuses it once the page's history has two entries.
  postJs(
      "if (typeof VeloraAPI !== 'undefined' && VeloraAPI && typeof VeloraAPI.askTermination === 'function') {"
      " VeloraAPI.askTermination() }"
      " else if (typeof VeloraICI !== 'undefined' && VeloraICI && typeof VeloraICI.terminate === 'function') {"
      " VeloraICI.terminate() }"
      " else { window.close() }");
}
