#include "SystemInfosCollector.h"

#include <gtest/gtest.h>

#include <glib.h>
#include <sys/stat.h>

#include "TestFolder.h"

namespace {

SystemInfoSource command(std::vector<std::string> words)
{
    return SystemInfoSource{std::move(words), ""};
}

SystemInfoSource file(const std::string& path)
{
    return SystemInfoSource{{}, path};
}

TEST(SystemInfosCollectorTest, DefaultReportHasTheMachinesSections)
{
    std::string report = SystemInfosCollector().infosFromSystemProfiler();
    EXPECT_EQ(0u, report.find("uname -a:\nLinux ")) << report.substr(0, 200);
    EXPECT_NE(std::string::npos, report.find("\n/etc/os-release:\n"));
    EXPECT_NE(std::string::npos, report.find("\nlscpu:\nArchitecture:"));
    EXPECT_NE(std::string::npos, report.find("\n/proc/meminfo:\nMemTotal:"));
    EXPECT_TRUE(g_utf8_validate(report.data(), report.size(), nullptr));
}

TEST(SystemInfosCollectorTest, SourcesThatGiveNothingLeaveNoSection)
{
    TestFolder folder;
    std::string notes = folder.file("notes.txt");
    TestFolder::write(notes, "no final line break");
    SystemInfosCollector collector({
        command({"echo", "first"}),
        command({"velora-no-such-tool"}),
        file(folder.file("missing")),
        command({"true"}),
        command({"sh", "-c", "echo out; echo err >&2; exit 3"}),
        command({"sh", "-c", "echo \"$LC_ALL\""}),
        command({"printf", "caf\\351\\n"}),
        file(notes),
    });
    EXPECT_EQ("echo first:\nfirst\n\n"
              "sh -c echo out; echo err >&2; exit 3:\nout\n\n"
              "sh -c echo \"$LC_ALL\":\nC\n\n"
              "printf caf\\351\\n:\ncaf\xEF\xBF\xBD\n\n" +
                  notes + ":\nno final line break\n\n",
              collector.infosFromSystemProfiler());
}

TEST(SystemInfosCollectorTest, EndlessOutputIsCutAndTheToolStopped)
{
    SystemInfosCollector collector({command({"yes"}), command({"echo", "after"})});
    std::string report = collector.infosFromSystemProfiler();
    EXPECT_EQ(0u, report.find("yes:\ny\ny\n"));
    EXPECT_LT(report.size(), 1024u * 1024u + 100u);
    EXPECT_GT(report.size(), 1024u * 1024u);
    EXPECT_NE(std::string::npos, report.find("\n\necho after:\nafter\n\n"));
}

TEST(SystemInfosCollectorTest, WritesTheReportWholeAndPrivately)
{
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
    EXPECT_FALSE(SystemInfosCollector(std::vector<SystemInfoSource>()).writeInfosIntoFile(folder.file("missing/system.txt")));
}

TEST(SystemInfosCollectorTest, AnswersAboutTheMachine)
{
    SystemInfosCollector collector;
    EXPECT_GE(collector.numberOfProcessors(), 1u);
    EXPECT_EQ("Linux", collector.operatingSystem());
    EXPECT_NE(std::string::npos, collector.operatingSystemVersion().find(", kernel "));
}

}  // namespace
