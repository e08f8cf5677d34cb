// Wall time of three concurrent offline downloads of 20 MB files from a test
// server that sends each connection at a fixed rate, beside three curl
// processes fetching the same files in parallel. With the server's rate as the
// bottleneck both should take about size / rate; the ratio shows what the
// queue, the provider and the repository files add on top.
//
// Usage: downloader_bench [bytes per second per connection] (default 5000000)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "BenchStats.h"
#include "TestHttpServer.h"
#include "VLDownloadTestRig.h"
#include "TestFolder.h"

namespace {

const size_t kFileSize = 20000000;
const int kFiles = 3;

std::string fileUrl(const TestHttpServer& server, int index, long rate) {
  return server.url("/size=" + std::to_string(kFileSize) + "/seed=" + std::to_string(index) +
                    "/throttle=" + std::to_string(rate) + "/file" + std::to_string(index));
}

// Three curl processes at once; -1 when one of them fails.
double runCurl(const TestHttpServer& server, long rate, const TestFolder& folder) {
  Clock::time_point start = Clock::now();
  std::vector<pid_t> children;
  for (int i = 0; i < kFiles; ++i) {
    std::string url = fileUrl(server, i, rate);
    std::string output = folder.file("curl" + std::to_string(i));
    pid_t child = fork();
    if (child == 0) {
      execlp("curl", "curl", "-s", "-f", "--noproxy", "*", "-o", output.c_str(), url.c_str(),
             static_cast<char*>(nullptr));
      _exit(127);
    }
    children.push_back(child);
  }
  bool ok = true;
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  return ok ? secondsSince(start) : -1;
}

// The same three files through the download queue, three at a time; -1 when
// they do not all complete with the right size.
double runDownloader(const TestHttpServer& server, long rate, const TestFolder& folder) {
  VLDownloadTestRig rig(folder.file("downloader"));
  rig.openDownloader(kFiles);
  for (int i = 0; i < kFiles; ++i) rig.setUrl("file" + std::to_string(i), fileUrl(server, i, rate));
  Clock::time_point start = Clock::now();
  for (int i = 0; i < kFiles; ++i)
    rig.downloader()->addFile(rig.download(), VLFileId("file" + std::to_string(i), 6), "");
  auto allDone = [&] {
    for (int i = 0; i < kFiles; ++i) {
      if (rig.state(rig.download(), "file" + std::to_string(i)) != VLDownloader::DOWNLOAD_DONE) return false;
    }
    return true;
  };
  if (!rig.runUntil(allDone, 600)) return -1;
  double elapsed = secondsSince(start);
  for (int i = 0; i < kFiles; ++i) {
    if (rig.file(rig.download(), "file" + std::to_string(i))->getSize() != kFileSize) return -1;
  }
  return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  long rate = argc > 1 ? atol(argv[1]) : 5000000;
  if (rate <= 0) {
    fprintf(stderr, "usage: %s [bytes per second per connection]\n", argv[0]);
    return 2;
  }
  TestHttpServer server;
  if (!server.isRunning()) return 1;
  TestFolder folder;

  double curl = runCurl(server, rate, folder);
  double downloader = runDownloader(server, rate, folder);
  if (curl < 0 || downloader < 0) {
    fprintf(stderr, "a download failed (curl %.2f s, downloader %.2f s)\n", curl, downloader);
    return 1;
  }
  printf("%d concurrent downloads of %.0f MB at %.2f MB/s per connection\n", kFiles, kFileSize / 1e6, rate / 1e6);
  printf("  %-28s %8.2f s\n", "ideal (size / rate)", kFileSize / static_cast<double>(rate));
  printf("  %-28s %8.2f s\n", "curl x3 in parallel", curl);
  printf("  %-28s %8.2f s\n", "VLDownloader, limit 3", downloader);
  printf("  %-28s %8.2f\n", "downloader / curl", downloader / curl);
  return 0;
}
