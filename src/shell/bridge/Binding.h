// The process's one VLDesktop: answers the core's questions about the
// application and the machine, and carries the core's six page calls to the
// main thread. The core makes those calls on its worker thread; Binding posts
// each call to the controller through MainLoopQueue without waiting, in the
// order made. A single record becomes a page value on the worker; lists of
// records (the answer of getFiles may hold a whole library) on the main thread,
// which frees them.
#pragma once

#include <list>
#include <string>
#include <vector>

#include "PageValue.h"
#include "VLDesktop.h"

class VLDesktopFile;
class VLDesktopKeyValue;

class Binding : public VLDesktop {
 public:
  // The process-wide object, made on the first call (on the main thread,
  // before the core starts); never freed.
  static Binding* instance();
  ~Binding() override;

  // The application's version text (BridgeHost::applicationVersion).
  std::string getVersion() override;
  // The machine's identifier as the service sees it (MachineIdentity: a keyed
  // hash, never the raw machine id); empty when the machine has none.
  std::string getSystemUid() override;

  // Worker thread; each takes what it is given and returns at once.
  void executeMethodWithStr(const std::string& method, const std::string& arg) override;
  void executeMethodWithStrStrNumber(const std::string& method, const std::string& s1, const std::string& s2,
                                     int n) override;
  void executeMethodWithFile(const std::string& method, VLDesktopFile* file) override;
  void executeMethodWithFiles(const std::string& method, std::list<VLDesktopFile*>* files) override;
  // callback: a PageCallback the bridge handed to the core; freed once called.
  void executeCallbackWithFiles(void* callback, std::list<VLDesktopFile*>* files) override;
  void executeCallbackWithNumber(void* callback, unsigned int count) override;

  // Page values of the core's records (any thread). A file object has no
  // prototype and 13 keys in a fixed order; times and sizes go whole (64-bit
  // values as the page's numbers).
  static PageValue fileToPage(const VLDesktopFile& file);
  // Frees the records and the list when take is set.
  static PageValue filesToPage(std::list<VLDesktopFile*>* files, bool take);
  static PageValue keyValuesToPage(const std::vector<VLDesktopKeyValue*>& pairs);
  static PageValue floatsToPage(const std::list<float>& values);

 private:
  Binding() = default;
};
