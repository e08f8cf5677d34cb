// Crash reports from a real crash: a forked child installs the handler and
// dies of a fatal signal, leaving one report; what the next start offers of
// what a crash left (CrashReportSender), also on a full disk and with a
// folder in the report's place; and the log text sent with a report.
#include "CrashReporter.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <string>
#include <vector>

#include "CrashReportSender.h"
#include "TestFolder.h"
#include "TestSmallVolume.h"
#include "VLTestLog.h"

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

// What the next start finds of a crash in the state folder; the log written
// meanwhile in `logged`.
class NextStart {
 public:
  explicit NextStart(const std::string& state) : mark_((VLTestLog::start(), VLTestLog::mark())) {
    settings_.reportPath = CrashReporter::reportPath(state);
    settings_.address = "http://127.0.0.1:9/crash";
    settings_.logFolder = state;
    settings_.version = "1.0.0 (7)";
  }
  // Whether the start offers a report.
  bool offers() {
    CrashReportSender sender(settings_);
    return sender.offer(nullptr);
  }
  std::string logged() const { return VLTestLog::since(mark_); }

 private:
  size_t mark_;
  CrashReportSender::Settings settings_;
};

// Fills the volume of the folder up to its last byte; false when it cannot.
bool fill(const std::string& folder) {
  FILE* filler = fopen((folder + "/filler").c_str(), "w");
  if (filler == nullptr) return false;
  std::string block(4096, 'f');
  while (fwrite(block.data(), 1, block.size(), filler) == block.size() && fflush(filler) == 0) {
  }
  bool full = errno == ENOSPC;
  fclose(filler);
  return full;
}

// A crash on a full disk leaves an empty report: the next start does not offer
// it (it would send nothing and say "sent") and removes it.
TEST(CrashReporterTest, AnEmptyReportLeftOnAFullDiskIsNotOffered) {
  TestFolder home;
  const std::string state = home.folder("state");
  NextStart next(state);
  int result = TestSmallVolume::run(state, "64k", [&] {
    if (g_mkdir_with_parents(CrashReporter::reportFolder(state).c_str(), 0700) != 0 || !fill(state)) return 10;
    int status = crashChild(state, [] { abort(); });
    if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGABRT) return 11;
    struct stat report;
    if (lstat(CrashReporter::reportPath(state).c_str(), &report) != 0 || report.st_size != 0) return 12;
    if (next.offers()) return 13;
    return TestFolder::exists(CrashReporter::reportPath(state)) ? 14 : 0;
  });
  if (result == -1) GTEST_SKIP() << "no mount namespace on this machine";
  EXPECT_EQ(result, 0);
  EXPECT_NE(next.logged().find("last-crash.txt is empty (the crash found no room on the disk?) and is removed"),
            std::string::npos)
      << next.logged();
}

// A folder in the report's place keeps every crash from leaving a report: the
// start removes it when it is empty, and otherwise says that it cannot. Once
// it is gone, a crash's report is offered again.
TEST(CrashReporterTest, AFolderInTheReportsPlaceIsRemovedWhenEmptyAndNamedWhenNot) {
  gtk_init(nullptr, nullptr);
  TestFolder state;
  const std::string report = CrashReporter::reportPath(state.path());
  ASSERT_EQ(g_mkdir_with_parents(report.c_str(), 0700), 0);
  ASSERT_TRUE(TestFolder::write(report + "/someone's", "kept"));
  {
    NextStart next(state.path());
    EXPECT_FALSE(next.offers());
    EXPECT_EQ(TestFolder::read(report + "/someone's"), "kept");
    EXPECT_NE(next.logged().find("last-crash.txt is not a regular file and cannot be removed (Directory not empty): "
                                 "no crash leaves a report until it is gone"),
              std::string::npos)
        << next.logged();
  }
  ASSERT_EQ(unlink((report + "/someone's").c_str()), 0);
  {
    NextStart next(state.path());
    EXPECT_FALSE(next.offers());
    EXPECT_FALSE(TestFolder::exists(report));
    EXPECT_NE(next.logged().find("last-crash.txt is not a regular file and is removed"), std::string::npos)
        << next.logged();
  }
  int status = crashChild(state.path(), [] { abort(); });
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(TestFolder::read(report).find("signal: 6 (SIGABRT)"), 0u);
  EXPECT_TRUE(NextStart(state.path()).offers());
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
