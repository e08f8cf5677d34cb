// JSON codec figures, each beside its baselines from the same run:
// - parse and serialize speed on generated documents shaped like the page's
//   track lists (records of 24 keys: texts, ids as texts, integers, a double,
//   nulls, a nested array), 20 MB and 100 MB by default, with our decoder and
//   serializer beside RapidJSON and nlohmann/json on the same text;
// - the peak memory of a parse, measured in a child process of its own, as a
//   multiple of the document's size;
// - parsing 2^16 keys that share one tokenizer hash beside 2^16 random keys of
//   the same length (the cost of hash flooding).
// Times are the CPU time of the parsing thread, so other work on a shared
// machine disturbs them less than wall time; each figure is the median of the
// runs with the fastest and slowest in brackets, and each ratio is a ratio of
// medians.
//
// Usage: json_bench [runs] [megabytes...]   (defaults 5, then 20 and 100)

#include <nlohmann/json.hpp>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "JKArray.h"
#include "JSONDecoder.h"
#include "JSONKitSerializing.h"

namespace {

std::string makeDocument(std::size_t targetBytes) {
  std::mt19937 random(1);
  const char* words[] = {"Night", "Drive", "Café", "Echo", "Blue", "Morning", "Static", "Hörspiel", "Lights", "River"};
  auto below = [&](unsigned n) { return static_cast<unsigned>(random() % n); };
  auto phrase = [&](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += std::string(i ? " " : "") + words[below(10)];
    return s;
  };
  std::string text = "[";
  text.reserve(targetBytes + 4096);
  for (int position = 1; text.size() < targetBytes; ++position) {
    unsigned id = 100000 + below(900000);
    char record[2048];
    std::snprintf(
        record, sizeof record,
        "%s{\"id\":\"%u\",\"title\":\"%s\",\"artistName\":\"%s\",\"artistId\":\"%u\","
        "\"interpreterName\":\"%s\",\"interpreterId\":\"%u\",\"composerName\":null,\"composerId\":null,"
        "\"albumTitle\":\"%s\",\"albumId\":\"%u\",\"picture\":\"http://static.example/images/cover/%u/200x200.jpg\","
        "\"genreName\":\"Pop\",\"labelName\":\"%s\",\"releaseDate\":\"2011-%02u-%02u\",\"trackNumber\":%u,"
        "\"mediaNumber\":1,\"duration\":%u,\"context\":[\"playlist\",\"%u\"],"
        "\"cssClasses\":\"streaming-type-full\",\"streamable\":true,\"uniqueId\":\"%u-5\","
        "\"addDate\":\"2011-10-%02u 12:%02u:%02u\",\"position\":%d,\"rating\":%.3f}",
        position > 1 ? "," : "", id, phrase(3).c_str(), phrase(2).c_str(), id / 3, phrase(2).c_str(), id / 3,
        phrase(2).c_str(), id / 7, id, phrase(1).c_str(), 1 + below(12), 1 + below(28), 1 + below(19),
        120000 + below(300000), 49803 + below(10), id, 1 + below(28), below(60), below(60), position,
        below(5000) / 1000.0);
    text += record;
  }
  return text + "]";
}

// One object of 2^blocks keys, each made of `blocks` two-byte blocks: "Ez"
// and "FY" (which share one tokenizer hash, so every key does), or random
// letters of the same length.
std::string makeKeys(int blocks, bool colliding) {
  std::mt19937 random(2);
  std::string text = "{";
  for (int n = 0; n < (1 << blocks); ++n) {
    std::string key;
    for (int b = 0; b < blocks; ++b) {
      if (colliding) {
        key += (n >> b & 1) ? "FY" : "Ez";
      } else {
        key += static_cast<char>('a' + random() % 26);
        key += static_cast<char>('a' + random() % 26);
      }
    }
    text += (n ? ",\"" : "\"") + key + "\":" + std::to_string(n);
  }
  return text + "}";
}

double threadSeconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Figure {
  double median, min, max;
};

// Seconds of `work` over `runs` runs; `prepare` runs untimed before each (it
// frees the previous result, so freeing is not measured).
Figure measure(
    int runs, const std::function<void()>& work, const std::function<void()>& prepare = [] {}) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    prepare();
    double start = threadSeconds();
    work();
    times.push_back(threadSeconds() - start);
  }
  std::sort(times.begin(), times.end());
  return {times[times.size() / 2], times.front(), times.back()};
}

void reportSpeed(const char* what, double megabytes, Figure ours, Figure rapid, Figure nlohmann) {
  auto speed = [&](const char* who, Figure f) {
    std::printf("  %-9s %7.1f MB/s (%.1f-%.1f)", who, megabytes / f.median, megabytes / f.max, megabytes / f.min);
  };
  std::printf("%-10s", what);
  speed("ours", ours);
  speed("RapidJSON", rapid);
  speed("nlohmann", nlohmann);
  std::printf("\n%-10s  ours/RapidJSON %.2f   ours/nlohmann %.2f\n", "", rapid.median / ours.median,
              nlohmann.median / ours.median);
}

[[noreturn]] void die(const char* message) {
  std::fprintf(stderr, "json_bench: %s\n", message);
  std::exit(1);
}

long statusKilobytes(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  std::size_t length = std::strlen(field);
  while (std::getline(status, line)) {
    if (line.compare(0, length, field) == 0) return std::strtol(line.c_str() + length, nullptr, 10);
  }
  return 0;
}

// Runs `parse` in a child process and returns the peak resident memory the
// parse added, in kilobytes.
long peakMemory(const std::function<void()>& parse) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) die("pipe failed");
  pid_t child = fork();
  if (child < 0) die("fork failed");
  if (child == 0) {
    close(pipeEnds[0]);
    // Give back the free memory of the parent's heap, so that the parse
    // touches fresh pages for whatever it allocates, then restart the peak.
    malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
    long before = statusKilobytes("VmRSS:");
    parse();
    long added = statusKilobytes("VmHWM:") - before;
    ssize_t written = write(pipeEnds[1], &added, sizeof added);
    _exit(written == sizeof added ? 0 : 1);
  }
  close(pipeEnds[1]);
  long added = 0;
  ssize_t got = read(pipeEnds[0], &added, sizeof added);
  close(pipeEnds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (got != sizeof added || !WIFEXITED(status) || WEXITSTATUS(status) != 0) die("memory child failed");
  return added;
}

// The peak of a parse beside the document it parses: what the parse adds,
// and with the document itself counted in.
void reportMemory(double megabytes, const char* who, const std::function<void()>& parse) {
  double added = static_cast<double>(peakMemory(parse)) / 1000.0 / megabytes;
  std::printf("  %-9s parse adds %5.2fx the document (%5.2fx with the document)", who, added, added + 1);
}

void benchDocument(std::size_t megabytes, int runs) {
  std::string text = makeDocument(megabytes * 1000 * 1000);
  double size = static_cast<double>(text.size()) / 1e6;
  std::printf("document: %.1f MB, %d runs\n", size, runs);

  // A fresh decoder each run, so our string cache starts cold as theirs do.
  std::optional<JKValue> ourValue;
  auto ourParse = [&] {
    JSONDecoder decoder;
    JKError error;
    ourValue = decoder.objectWithData(text, &error);
    if (!ourValue) die(error.message.c_str());
  };
  rapidjson::Document rapidValue;
  auto rapidParse = [&] {
    rapidValue.Parse(text.data(), text.size());
    if (rapidValue.HasParseError()) die("RapidJSON failed to parse");
  };
  nlohmann::json nlohmannValue;
  auto nlohmannParse = [&] { nlohmannValue = nlohmann::json::parse(text); };

  std::printf("memory    ");
  reportMemory(size, "ours", ourParse);
  std::printf("\n          ");
  reportMemory(size, "RapidJSON", rapidParse);
  std::printf("\n          ");
  reportMemory(size, "nlohmann", nlohmannParse);
  std::printf("\n");

  Figure ours = measure(runs, ourParse, [&] { ourValue.reset(); });
  Figure rapid = measure(runs, rapidParse, [&] { rapidjson::Document().Swap(rapidValue); });
  Figure nlohmann = measure(runs, nlohmannParse, [&] { nlohmannValue = nullptr; });
  reportSpeed("parse", size, ours, rapid, nlohmann);

  // Serialize (compact) what each one parsed.
  std::size_t checksum = 0;
  ours = measure(runs, [&] {
    std::optional<std::string> out = JSONString(*ourValue);
    if (!out) die("our serializer failed");
    checksum += out->size();
  });
  rapid = measure(runs, [&] {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    rapidValue.Accept(writer);
    checksum += buffer.GetSize();
  });
  nlohmann = measure(runs, [&] { checksum += nlohmannValue.dump().size(); });
  reportSpeed("serialize", size, ours, rapid, nlohmann);
  std::printf("(checksum %zu)\n\n", checksum);
}

void benchFlooding(int runs) {
  const int blocks = 16;
  std::string colliding = makeKeys(blocks, true);
  std::string random = makeKeys(blocks, false);
  auto parseOnce = [](const std::string& text) {
    return [&text] {
      JKError error;
      if (!JSONDecoder().objectWithData(text, &error)) die(error.message.c_str());
    };
  };
  Figure slow = measure(runs, parseOnce(colliding));
  Figure fast = measure(runs, parseOnce(random));
  std::printf(
      "keys      2^%d keys sharing one tokenizer hash %.1f ms (%.1f-%.1f), random keys %.1f ms (%.1f-%.1f): "
      "%.2fx\n",
      blocks, slow.median * 1e3, slow.min * 1e3, slow.max * 1e3, fast.median * 1e3, fast.min * 1e3, fast.max * 1e3,
      slow.median / fast.median);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 5;
  if (runs < 1) die("runs must be at least 1");
  std::vector<std::size_t> sizes;
  for (int i = 2; i < argc; ++i) sizes.push_back(std::strtoul(argv[i], nullptr, 10));
  if (sizes.empty()) sizes = {20, 100};
  benchFlooding(runs);
  for (std::size_t megabytes : sizes) benchDocument(megabytes, runs);
  return 0;
}
