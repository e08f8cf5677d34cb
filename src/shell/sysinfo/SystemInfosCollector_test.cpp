#include "SystemInfosCollector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <glib.h>
#include <sys/stat.h>

#include "TestFolder.h"

namespace {

SystemInfoSource command(std::vector<std::string> words) {
  return SystemInfoSource{std::move(words), ""};
}

SystemInfoSource file(const std::string& path) {
  return SystemInfoSource{{}, path};
}

// The heading of each default source, in order, with the storage folders
// given to the collector.
std::vector<std::string> defaultHeadings(const std::string& folders) {
  return {"uname -a",
          "/etc/os-release",
          "lscpu",
          "/proc/meminfo",
          "df -h -T -- " + folders,
          "lspci -nnk",
          "lsusb",
          "/proc/bus/input/devices",
          "pactl info",
          "pactl list short sinks",
          "/proc/asound/cards",
          "desktop session",
          "run-time libraries"};
}

// The body of the section under that heading ("" when there is none).
std::string sectionOf(const std::string& report, const std::string& heading) {
  size_t start =
      report.compare(0, heading.size() + 2, heading + ":\n") == 0 ? 0 : report.find("\n\n" + heading + ":\n");
  if (start == std::string::npos) return std::string();
  start = report.find(":\n", start + (start == 0 ? 0 : 2) + heading.size()) + 2;
  return report.substr(start, report.find("\n\n", start) + 1 - start);
}

// The headings of `expected` that start a section of the report with something in it.
std::vector<std::string> headingsIn(const std::string& report, const std::vector<std::string>& expected) {
  std::vector<std::string> found;
  for (const std::string& heading : expected) {
    if (!sectionOf(report, heading).empty()) found.push_back(heading);
  }
  return found;
}

TEST(SystemInfosCollectorTest, DefaultReportHasASectionForEverySource) {
  TestFolder folder;
  std::string cache = folder.folder("cache");
  std::string downloads = folder.folder("downloads");
  std::string report = SystemInfosCollector(SystemInfosCollector::defaultSources(), {cache, downloads, cache, ""})
                           .infosFromSystemProfiler();
  std::vector<std::string> headings = defaultHeadings(cache + " " + downloads);
  EXPECT_EQ(headings, headingsIn(report, headings)) << report;
  EXPECT_EQ(0u, report.find("uname -a:\nLinux ")) << report.substr(0, 200);
  EXPECT_NE(std::string::npos, report.find("\nlscpu:\nArchitecture:"));
  EXPECT_NE(std::string::npos, report.find("\n/proc/meminfo:\nMemTotal:"));
  // Free and total space of both folders' volumes, one line each.
  std::string volumes = sectionOf(report, headings[4]);
  EXPECT_EQ(0u, volumes.find("Filesystem ")) << volumes;
  EXPECT_NE(std::string::npos, volumes.find(" Avail ")) << volumes;
  EXPECT_EQ(3, std::count(volumes.begin(), volumes.end(), '\n')) << volumes;
  EXPECT_NE(std::string::npos, report.find("\ndesktop session:\nXDG_SESSION_TYPE"));
  EXPECT_NE(std::string::npos, report.find("\nrun-time libraries:\nGTK 3."));
  EXPECT_NE(std::string::npos, report.find("\nWebKitGTK 2."));
  EXPECT_TRUE(g_utf8_validate(report.data(), report.size(), nullptr));

  // On a machine without the tools every section is still there, and says so.
  std::string path = g_getenv("PATH");
  g_setenv("PATH", folder.folder("no-tools").c_str(), TRUE);
  std::string bare = SystemInfosCollector(SystemInfosCollector::defaultSources(), {cache}).infosFromSystemProfiler();
  g_setenv("PATH", path.c_str(), TRUE);
  EXPECT_EQ(defaultHeadings(cache), headingsIn(bare, defaultHeadings(cache))) << bare;
  for (const std::string& heading :
       std::vector<std::string>{"uname -a", "lscpu", "df -h -T -- " + cache, "lspci -nnk", "lsusb", "pactl info"})
    EXPECT_EQ("not available: " + heading.substr(0, heading.find(' ')) + " is not installed\n",
              sectionOf(bare, heading));
  EXPECT_NE(std::string::npos, bare.find("\n/proc/meminfo:\nMemTotal:"));
}

TEST(SystemInfosCollectorTest, SourcesThatGiveNothingSayWhy) {
  TestFolder folder;
  std::string notes = folder.file("notes.txt");
  TestFolder::write(notes, "no final line break");
  SystemInfosCollector collector({
      command({"echo", "first"}),
      command({"velora-no-such-tool"}),
      file(folder.file("missing")),
      command({"true"}),
      command({"false"}),
      command({"sh", "-c", "echo out; echo err >&2; exit 3"}),
      command({"sh", "-c", "echo \"$LC_ALL\""}),
      command({"printf", "caf\\351\\n"}),
      file(notes),
      file("/dev/null"),
      SystemInfoSource{"made here", [] { return std::string("a line"); }},
  });
  EXPECT_EQ(
      "echo first:\nfirst\n\n"
      "velora-no-such-tool:\nnot available: velora-no-such-tool is not installed\n\n" +
          folder.file("missing") +
          ":\nnot available: No such file or directory\n\n"
          "false:\nno output, exit status 1\n\n"
          "sh -c echo out; echo err >&2; exit 3:\nout\n\n"
          "sh -c echo \"$LC_ALL\":\nC\n\n"
          "printf caf\\351\\n:\ncaf\xEF\xBF\xBD\n\n" +
          notes +
          ":\nno final line break\n\n"
          "/dev/null:\n(empty)\n\n"
          "made here:\na line\n\n",
      collector.infosFromSystemProfiler());
}

TEST(SystemInfosCollectorTest, EndlessOutputIsCutAndTheToolStopped) {
  SystemInfosCollector collector({command({"yes"}), command({"echo", "after"})});
  std::string report = collector.infosFromSystemProfiler();
  EXPECT_EQ(0u, report.find("yes:\ny\ny\n"));
  EXPECT_LT(report.size(), 1024u * 1024u + 100u);
  EXPECT_GT(report.size(), 1024u * 1024u);
  EXPECT_NE(std::string::npos, report.find("\n\necho after:\nafter\n\n"));
}

TEST(SystemInfosCollectorTest, WritesTheReportWholeAndPrivately) {
  TestFolder folder;
  std::string path = folder.file("system.txt");
  TestFolder::write(path, std::string(5000, 'x'));
  chmod(path.c_str(), 0644);
  EXPECT_TRUE(SystemInfosCollector({command({"echo", "hello"})}).writeInfosIntoFile(path));
  EXPECT_EQ("echo hello:\nhello\n\n", TestFolder::read(path));
  struct stat status;
  ASSERT_EQ(0, stat(path.c_str(), &status));
  EXPECT_EQ(0600u, status.st_mode & 0777);

  EXPECT_TRUE(SystemInfosCollector({command({"true"})}).writeInfosIntoFile(path));
  EXPECT_EQ("", TestFolder::read(path));
  EXPECT_FALSE(
      SystemInfosCollector(std::vector<SystemInfoSource>()).writeInfosIntoFile(folder.file("missing/system.txt")));
}

TEST(SystemInfosCollectorTest, AnswersAboutTheMachine) {
  SystemInfosCollector collector;
  EXPECT_GE(collector.numberOfProcessors(), 1u);
  EXPECT_EQ("Linux", collector.operatingSystem());
  EXPECT_NE(std::string::npos, collector.operatingSystemVersion().find(", kernel "));
}

}  // namespace
