#include "Binding.h"

#include <glib.h>

#include <memory>

#include "BridgeHost.h"
#include "MachineIdentity.h"
#include "MainLoopQueue.h"
#include "PageCallback.h"
#include "VLDesktopFile.h"
#include "VLDesktopKeyValue.h"

Binding* Binding::instance() {
  static Binding* binding = new Binding();
  return binding;
}

Binding::~Binding() {
  clean();
}

std::string Binding::getVersion() {
  return BridgeHost::instance().applicationVersion();
}

std::string Binding::getSystemUid() {
  return MachineIdentity::systemUid();
}

void Binding::executeMethodWithStr(const std::string& method, const std::string& arg) {
  std::vector<PageValue> arguments{PageValue::string(arg)};
  MainLoopQueue::instance().post([method, arguments] { BridgeHost::instance().executeMethod(method, arguments); });
}

void Binding::executeMethodWithStrStrNumber(const std::string& method, const std::string& s1, const std::string& s2,
                                            int n) {
  std::vector<PageValue> arguments{PageValue::string(s1), PageValue::string(s2), PageValue::number(n)};
  MainLoopQueue::instance().post([method, arguments] { BridgeHost::instance().executeMethod(method, arguments); });
}

void Binding::executeMethodWithFile(const std::string& method, VLDesktopFile* file) {
  std::vector<PageValue> arguments{file != nullptr ? fileToPage(*file) : PageValue::null()};
  delete file;
  MainLoopQueue::instance().post([method, arguments] { BridgeHost::instance().executeMethod(method, arguments); });
}

namespace {

// A list of records handed over by the core, freed with the last copy of the
// task that carries it, whether the task runs or is dropped.
std::shared_ptr<std::list<VLDesktopFile*>> takeFiles(std::list<VLDesktopFile*>* files) {
  return std::shared_ptr<std::list<VLDesktopFile*>>(files, [](std::list<VLDesktopFile*>* list) {
    if (list == nullptr) return;
    for (VLDesktopFile* file : *list) delete file;
    delete list;
  });
}

}  // namespace

// Lists of records (a whole library answers getFiles) become page values on the
// main thread, which turns them into the wire form anyway: on the worker they
// would hold up playback.
void Binding::executeMethodWithFiles(const std::string& method, std::list<VLDesktopFile*>* files) {
  std::shared_ptr<std::list<VLDesktopFile*>> taken = takeFiles(files);
  MainLoopQueue::instance().post([method, taken] {
    std::vector<PageValue> arguments{filesToPage(taken.get(), false)};
    BridgeHost::instance().executeMethod(method, arguments);
  });
}

void Binding::executeCallbackWithFiles(void* callback, std::list<VLDesktopFile*>* files) {
  std::shared_ptr<std::list<VLDesktopFile*>> taken = takeFiles(files);
  auto* pageCallback = static_cast<PageCallback*>(callback);
  MainLoopQueue::instance().post(
      [pageCallback, taken] { BridgeHost::instance().executeCallback(pageCallback, filesToPage(taken.get(), false)); });
}

void Binding::executeCallbackWithNumber(void* callback, unsigned int count) {
  PageValue value = PageValue::number(count);
  auto* pageCallback = static_cast<PageCallback*>(callback);
  MainLoopQueue::instance().post(
      [pageCallback, value] { BridgeHost::instance().executeCallback(pageCallback, value); });
}

PageValue Binding::fileToPage(const VLDesktopFile& file) {
  PageValue object = PageValue::object();
  object.set("entity_id", PageValue::number(file.getEntityId()));
  object.set("format_id", PageValue::number(file.getFormatId()));
  object.set("repository", PageValue::string(file.getRepository()));
  object.set("metadata", PageValue::string(file.getMetadata()));
  object.set("bytes_loaded", PageValue::number(static_cast<double>(file.getBytesLoaded())));
  object.set("bytes_total", PageValue::number(static_cast<double>(file.getBytesTotal())));
  // The flags word as the page has always seen it: its 32 bits, signed.
  object.set("file_state", PageValue::number(static_cast<int32_t>(file.getFileState())));
  object.set("download_state", PageValue::number(file.getDownloadState()));
  object.set("position", PageValue::number(file.getPosition()));
  // Times in seconds go whole: cut to 32 bits they would wrap in 2038.
  object.set("last_listening", PageValue::number(static_cast<double>(file.getLastListening())));
  object.set("listening_count", PageValue::number(static_cast<int32_t>(file.getListeningCount())));
  object.set("last_add", PageValue::number(static_cast<double>(file.getLastAdd())));
  object.set("url_data", PageValue::string(file.getUrlData()));
  object.set("retry_in", PageValue::number(file.getRetryIn()));
  object.set("failure", PageValue::string(file.getFailure()));
  return object;
}

PageValue Binding::filesToPage(std::list<VLDesktopFile*>* files, bool take) {
  PageValue array = PageValue::array();
  if (files == nullptr) return array;
  for (VLDesktopFile* file : *files) {
    if (file != nullptr) array.push(fileToPage(*file));
    if (take) delete file;
  }
  if (take) delete files;
  return array;
}

PageValue Binding::keyValuesToPage(const std::vector<VLDesktopKeyValue*>& pairs) {
  PageValue array = PageValue::array();
  for (const VLDesktopKeyValue* pair : pairs) {
    if (pair == nullptr) continue;
    PageValue object = PageValue::object();
    object.set("key", PageValue::string(pair->getKey()));
    object.set("value", PageValue::string(pair->getValue()));
    array.push(std::move(object));
  }
  return array;
}

PageValue Binding::floatsToPage(const std::list<float>& values) {
  PageValue array = PageValue::array();
  for (float value : values) array.push(PageValue::number(value));
  return array;
}
