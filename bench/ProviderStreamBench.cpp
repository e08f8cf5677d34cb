// Streaming a file through the HTTP range provider from nginx on 127.0.0.1:
// wall time until the repository file is complete, beside `curl -o FILE` of the
// same URL in the same run (stored on the same volume, as the provider stores), and the bytes nginx sent over the file's
// size (1.00 is ideal: no byte fetched twice).
//
// Two drives of the provider: passes as the core's worker makes them (the
// provider, then the repository, then the worker's wait for network activity
// of at most 10 ms), and passes without the wait, the transfer engine alone.
//
// Usage: provider_stream_bench [megabytes]   (default 100)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "BenchStats.h"
#include "TestFolder.h"
#include "TestNginxServer.h"
#include "VLHttpRepositoryProvider.h"
#include "VLPlatformFactory.h"
#include "VLRepository.h"
#include "VLRepositoryFile.h"
#include "VLWakeEvent.h"

namespace {

struct Result {
  double seconds = 0;
  size_t bytesSent = 0;
};

Result stream(TestNginxServer& nginx, const std::string& url, unsigned waitMs, const std::string& name) {
  TestFolder folder;
  VLHttpRepositoryProvider provider;
  provider.init(nullptr);
  std::unique_ptr<VLWakeEvent> wake(VLPlatformFactory::instance()->createWakeEvent());
  VLRepository repository(nullptr, &provider, "cache", "bench", 604800, folder.folder("db"), folder.folder("files"), 0,
                          false, 0);
  repository.init();
  VLRepositoryFile* file = repository.getFile(VLFileId(name, 6u), true);
  file->setUrl(url);
  nginx.clearRequests();
  Clock::time_point start = Clock::now();
  file->open(VLRepositoryFile::OPEN_PROVIDE);
  while (!(file->getFlags() & VLRepositoryFile::FLAG_COMPLETE)) {
    provider.update();
    repository.update();
    if (waitMs) provider.waitForActivity(wake.get(), waitMs);
    if (secondsSince(start) > 600) {
      std::fprintf(stderr, "provider_stream_bench: no complete file after 10 minutes\n");
      std::exit(1);
    }
  }
  Result result;
  result.seconds = secondsSince(start);
  file->close(0);
  repository.close();
  provider.clean();
  for (const TestHttpRequest& request : nginx.waitForRequests(1)) result.bytesSent += request.bytes;
  return result;
}

struct CurlTimes {
  double wall = 0;      // from the process start to its exit
  double transfer = 0;  // curl's own time_total: connect to last byte stored
};

CurlTimes curlTime(const std::string& url, const std::string& output) {
  std::string command = "curl -s --noproxy '*' -w '%{time_total}' -o '" + output + "' '" + url + "'";
  Clock::time_point start = Clock::now();
  FILE* pipe = popen(command.c_str(), "r");
  CurlTimes times;
  if (!pipe || std::fscanf(pipe, "%lf", &times.transfer) != 1 || pclose(pipe) != 0) {
    std::fprintf(stderr, "provider_stream_bench: curl failed\n");
    std::exit(1);
  }
  times.wall = secondsSince(start);
  return times;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
  const size_t size = megabytes * 1000000;
  TestFolder root;
  {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = char(i * 7 + (i >> 12));
    if (!TestFolder::write(root.file("track.bin"), bytes)) {
      std::fprintf(stderr, "provider_stream_bench: cannot write the fixture\n");
      return 1;
    }
  }
  TestNginxServer nginx(root.path());
  if (!nginx.isRunning()) {
    std::fprintf(stderr, "provider_stream_bench: nginx did not start\n");
    return 1;
  }
  const std::string url = nginx.url("/track.bin");

  TestFolder output;
  const std::string stored = output.file("curl.bin");
  curlTime(url, stored);  // warms the page cache and the server
  const int runs = 5;
  std::vector<double> curl, curlTransfer, worker, engine, workerRatio, engineRatio, workerTransferRatio;
  double workerSent = 0, engineSent = 0;
  // Each measurement starts with no dirty pages of the one before it still
  // waiting for the disk: their writeback would slow down whatever runs next.
  for (int run = 0; run < runs; ++run) {
    unlink(stored.c_str());
    sync();
    CurlTimes times = curlTime(url, stored);
    curl.push_back(times.wall);
    curlTransfer.push_back(times.transfer);
    sync();
    Result paced = stream(nginx, url, 10, "paced" + std::to_string(run));
    sync();
    Result unpaced = stream(nginx, url, 0, "unpaced" + std::to_string(run));
    worker.push_back(paced.seconds);
    engine.push_back(unpaced.seconds);
    workerRatio.push_back(paced.seconds / curl.back());
    engineRatio.push_back(unpaced.seconds / curl.back());
    workerTransferRatio.push_back(paced.seconds / curlTransfer.back());
    workerSent = std::max(workerSent, double(paced.bytesSent) / double(size));
    engineSent = std::max(engineSent, double(unpaced.bytesSent) / double(size));
  }
  std::printf("streaming %zu MB from nginx on 127.0.0.1, median (min-max) of %d runs\n", megabytes, runs);
  auto line = [](const char* name, std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::printf("  %-40s %7.3f (%.3f-%.3f)\n", name, values[values.size() / 2], values.front(), values.back());
  };
  line("provider, worker passes (wait <= 10 ms), s", worker);
  line("provider, passes without wait, s", engine);
  line("curl -o FILE (baseline, process start incl.), s", curl);
  line("ratio worker/curl", workerRatio);
  line("ratio engine/curl", engineRatio);
  // The stricter baseline: curl's transfer without its process's start and exit.
  line("curl's own time_total, s", curlTransfer);
  line("ratio worker/curl time_total", workerTransferRatio);
  std::printf("  bytes sent / size at most: worker %.2f, engine %.2f\n", workerSent, engineSent);
  return 0;
}
