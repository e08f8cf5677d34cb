// Crash reports from a real crash: a forked child installs the handler and
// dies of a fatal signal, leaving one report; and the log text sent with it.
#include "CrashReporter.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <string>
#include <vector>

#include "TestFolder.h"

namespace {

std::vector<std::string> namesIn(const std::string& folder) {
  std::vector<std::string> names;
  DIR* directory = opendir(folder.c_str());
  if (directory == nullptr) return names;
  while (dirent* entry = readdir(directory)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(directory);
  return names;
}

// Forks a child that installs the handler and then crashes; the status it died with.
int crashChild(const std::string& state, void (*crash)()) {
  pid_t child = fork();
  if (child == 0) {
    rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);  // no core file in the test's folder
    if (!CrashReporter::install(state, "1.0.0 (7)")) _exit(100);
    crash();
    _exit(101);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return status;
}

// A write into a page that may not be written: a real fault.
void writeIntoAForbiddenPage() {
  void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  *static_cast<volatile int*>(page) = 1;
}

struct Crash {
  const char* name;
  int signal;
  void (*crash)();
};

TEST(CrashReporterTest, AForkedChildThatCrashesLeavesOneReportAndDiesByItsSignal) {
  const Crash crashes[] = {
      {"SIGSEGV", SIGSEGV, writeIntoAForbiddenPage}, {"SIGABRT", SIGABRT, [] { abort(); }},
      {"SIGFPE", SIGFPE, [] { raise(SIGFPE); }},     {"SIGBUS", SIGBUS, [] { raise(SIGBUS); }},
      {"SIGILL", SIGILL, [] { raise(SIGILL); }},
  };
  for (const Crash& crash : crashes) {
    SCOPED_TRACE(crash.name);
    TestFolder state;
    // An earlier report is replaced, not added to.
    state.folder("crash-reports");
    ASSERT_TRUE(TestFolder::write(CrashReporter::reportPath(state.path()), "older"));
    int status = crashChild(state.path(), crash.crash);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), crash.signal);
    EXPECT_EQ(namesIn(CrashReporter::reportFolder(state.path())).size(), 1u);
    std::string report = TestFolder::read(CrashReporter::reportPath(state.path()));
    EXPECT_EQ(report.find("signal: " + std::to_string(crash.signal) + " (" + crash.name + ")\ntime: "), 0u) << report;
    EXPECT_NE(report.find("\nversion: 1.0.0 (7)\nbacktrace:\n"), std::string::npos) << report;
    // The backtrace names the frames down to the handler's caller.
    EXPECT_NE(report.find("CrashReporter_test"), std::string::npos) << report;
    long long when = std::stoll(report.substr(report.find("time: ") + 6));
    EXPECT_LE(when, static_cast<long long>(time(nullptr)));
    EXPECT_GT(when, static_cast<long long>(time(nullptr)) - 600);
  }
}

// A link planted at the report's name: the handler makes its own file and
// leaves the link's target alone.
TEST(CrashReporterTest, TheHandlerNeverWritesThroughALink) {
  TestFolder state;
  state.folder("crash-reports");
  std::string target = state.file("users-file.txt");
  ASSERT_TRUE(TestFolder::write(target, "keep me"));
  ASSERT_EQ(symlink(target.c_str(), CrashReporter::reportPath(state.path()).c_str()), 0);
  int status = crashChild(state.path(), [] { abort(); });
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(TestFolder::read(target), "keep me");
  struct stat report;
  ASSERT_EQ(lstat(CrashReporter::reportPath(state.path()).c_str(), &report), 0);
  EXPECT_TRUE(S_ISREG(report.st_mode));
  EXPECT_EQ(TestFolder::read(CrashReporter::reportPath(state.path())).find("signal: 6 (SIGABRT)"), 0u);
}

TEST(CrashReporterTest, TheLogTextHoldsEachFileOfTheFolderAsUtf8) {
  TestFolder logs;
  EXPECT_EQ(CrashReporter::crashReportApplicationLog(logs.path()), "");
  EXPECT_EQ(CrashReporter::crashReportApplicationLog(logs.path() + "/missing"), "");
  ASSERT_TRUE(TestFolder::write(logs.file("desktop.log"), "line one\nline two\n"));
  ASSERT_TRUE(TestFolder::write(logs.file("desktop_stderr.log"), std::string("bad \xff byte")));
  logs.folder("crash-reports");
  std::string text;
  // In the order the folder lists them.
  for (const std::string& name : namesIn(logs.path())) {
    if (name == "desktop.log") text += "\ndesktop.log:\n\nline one\nline two\n";
    if (name == "desktop_stderr.log") text += "\ndesktop_stderr.log:\n\nbad \xef\xbf\xbd byte";
  }
  EXPECT_EQ(CrashReporter::crashReportApplicationLog(logs.path()), text);
}

}  // namespace
