// The wrappers forward every call, with its arguments and its answer, to
// their target; a forgotten forwarder of a virtual with a default of its own
// (the proxy's) would otherwise answer in the target's place.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <list>
#include <string>

#include "VLFileHelperWrapper.h"
#include "VLPlatformFactoryWrapper.h"

namespace {

// A distinct pointer of any type, never dereferenced.
template <typename T>
T* token(uintptr_t n) {
  return reinterpret_cast<T*>(n * 16);
}

// Notes each call and its arguments in `call` and answers with values no
// default would give.
class RecordingFactory : public VLPlatformFactory {
 public:
  VLThread* createThread(const std::string& name, VLRunnerObject* runner, int parameter) override {
    call = "createThread " + name + " " + std::to_string(parameter) +
           (runner == token<VLRunnerObject>(9) ? " runner" : "");
    return token<VLThread>(1);
  }
  VLMutex* createMutex() override {
    call = "createMutex";
    return token<VLMutex>(2);
  }
  VLWakeEvent* createWakeEvent() override {
    call = "createWakeEvent";
    return token<VLWakeEvent>(3);
  }
  VLCrypto* createCrypto() override {
    call = "createCrypto";
    return token<VLCrypto>(4);
  }
  VLFileHelper* getFileHelper() override {
    call = "getFileHelper";
    return token<VLFileHelper>(5);
  }
  VLMappedFile* createMappedFile(const std::string& path) override {
    call = "createMappedFile " + path;
    return token<VLMappedFile>(6);
  }
  void sleep(uint64_t milliseconds) override { call = "sleep " + std::to_string(milliseconds); }
  double getTime() override {
    call = "getTime";
    return 4321.25;
  }
  int64_t getEpochTime() override {
    call = "getEpochTime";
    return INT64_C(1) << 40;
  }
  VLSettingHelper* getSettingHelper() override {
    call = "getSettingHelper";
    return token<VLSettingHelper>(7);
  }
  bool getProxyConfig(const std::string& url, std::string& proxy) override {
    call = "getProxyConfig " + url;
    proxy = "proxy.example:3128";
    return true;
  }
  std::string getNoProxyHosts() override {
    call = "getNoProxyHosts";
    return "localhost,.example";
  }

  std::string call;
};

class RecordingFileHelper : public VLFileHelper {
 public:
  bool createDirectory(const std::string& path) override {
    call = "createDirectory " + path;
    return true;
  }
  bool createPrivateDirectory(const std::string& path) override {
    call = "createPrivateDirectory " + path;
    return true;
  }
  char getSeparator() override {
    call = "getSeparator";
    return '|';
  }
  uint64_t getFileSize(const std::string& path) override {
    call = "getFileSize " + path;
    return 1ull << 40;
  }
  VLFolder* openFolder(const std::string& path) override {
    call = "openFolder " + path;
    return token<VLFolder>(1);
  }
  bool listFiles(const std::string& directory, std::list<std::string>* files) override {
    call = "listFiles " + directory;
    files->push_back("listed");
    return true;
  }
  bool forEachFile(const std::string& directory, const std::function<void(std::string_view name)>& visit) override {
    call = "forEachFile " + directory;
    visit("visited");
    return true;
  }
  bool removeFile(const std::string& path) override {
    call = "removeFile " + path;
    return true;
  }
  bool renameFile(const std::string& from, const std::string& to) override {
    call = "renameFile " + from + " " + to;
    return true;
  }
  bool copyFile(const std::string& from, const std::string& to) override {
    call = "copyFile " + from + " " + to;
    return true;
  }
  bool isSameVolume(const std::string& first, const std::string& second) override {
    call = "isSameVolume " + first + " " + second;
    return true;
  }
  bool getFreeSpace(const std::string& path, double* available, double* total) override {
    call = "getFreeSpace " + path;
    *available = 5;
    *total = 8;
    return true;
  }

  std::string call;
};

// One forwarded call: what the target must have seen, and whether the
// wrapper's answer is the target's.
template <typename Interface>
struct Forwarded {
  const char* call;
  std::function<bool(Interface&)> answersAsTarget;
};

}  // namespace

TEST(VLPlatformFactoryWrapper, ForwardsEveryCallWithItsArgumentsAndAnswer) {
  RecordingFactory target;
  VLPlatformFactoryWrapper wrapper(&target);
  EXPECT_EQ(&target, wrapper.target());
  const Forwarded<VLPlatformFactory> table[] = {
      {"createThread worker 7 runner",
       [](VLPlatformFactory& f) {
         return f.createThread("worker", token<VLRunnerObject>(9), 7) == token<VLThread>(1);
       }},
      {"createMutex", [](VLPlatformFactory& f) { return f.createMutex() == token<VLMutex>(2); }},
      {"createWakeEvent", [](VLPlatformFactory& f) { return f.createWakeEvent() == token<VLWakeEvent>(3); }},
      {"createCrypto", [](VLPlatformFactory& f) { return f.createCrypto() == token<VLCrypto>(4); }},
      {"getFileHelper", [](VLPlatformFactory& f) { return f.getFileHelper() == token<VLFileHelper>(5); }},
      {"createMappedFile /a/b",
       [](VLPlatformFactory& f) { return f.createMappedFile("/a/b") == token<VLMappedFile>(6); }},
      {"sleep 18446744073709551615",
       [](VLPlatformFactory& f) {
         f.sleep(UINT64_MAX);
         return true;
       }},
      {"getTime", [](VLPlatformFactory& f) { return f.getTime() == 4321.25; }},
      {"getEpochTime", [](VLPlatformFactory& f) { return f.getEpochTime() == INT64_C(1) << 40; }},
      {"getSettingHelper", [](VLPlatformFactory& f) { return f.getSettingHelper() == token<VLSettingHelper>(7); }},
      {"getProxyConfig http://host/x",
       [](VLPlatformFactory& f) {
         std::string proxy;
         return f.getProxyConfig("http://host/x", proxy) && proxy == "proxy.example:3128";
       }},
      {"getNoProxyHosts", [](VLPlatformFactory& f) { return f.getNoProxyHosts() == "localhost,.example"; }},
  };
  for (const auto& row : table) {
    target.call.clear();
    EXPECT_TRUE(row.answersAsTarget(wrapper)) << row.call;
    EXPECT_EQ(row.call, target.call);
  }
}

TEST(VLFileHelperWrapper, ForwardsEveryCallWithItsArgumentsAndAnswer) {
  RecordingFileHelper target;
  VLFileHelperWrapper wrapper(&target);
  EXPECT_EQ(&target, wrapper.target());
  const Forwarded<VLFileHelper> table[] = {
      {"createDirectory /d", [](VLFileHelper& h) { return h.createDirectory("/d"); }},
      {"createPrivateDirectory /d", [](VLFileHelper& h) { return h.createPrivateDirectory("/d"); }},
      {"getSeparator", [](VLFileHelper& h) { return h.getSeparator() == '|'; }},
      {"getFileSize /f", [](VLFileHelper& h) { return h.getFileSize("/f") == 1ull << 40; }},
      {"openFolder /d", [](VLFileHelper& h) { return h.openFolder("/d") == token<VLFolder>(1); }},
      {"listFiles /d",
       [](VLFileHelper& h) {
         std::list<std::string> files;
         return h.listFiles("/d", &files) && files == std::list<std::string>{"listed"};
       }},
      {"forEachFile /d",
       [](VLFileHelper& h) {
         std::string seen;
         return h.forEachFile("/d", [&](std::string_view name) { seen = name; }) && seen == "visited";
       }},
      {"removeFile /f", [](VLFileHelper& h) { return h.removeFile("/f"); }},
      {"renameFile /f /g", [](VLFileHelper& h) { return h.renameFile("/f", "/g"); }},
      {"copyFile /f /g", [](VLFileHelper& h) { return h.copyFile("/f", "/g"); }},
      {"isSameVolume /f /g", [](VLFileHelper& h) { return h.isSameVolume("/f", "/g"); }},
      {"getFreeSpace /v",
       [](VLFileHelper& h) {
         double available = 0, total = 0;
         return h.getFreeSpace("/v", &available, &total) && available == 5 && total == 8;
       }},
  };
  for (const auto& row : table) {
    target.call.clear();
    EXPECT_TRUE(row.answersAsTarget(wrapper)) << row.call;
    EXPECT_EQ(row.call, target.call);
  }
}
