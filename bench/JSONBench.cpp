// JSON codec throughput: parse and serialize a generated document of about
// 20 MB shaped like the page's track lists (records of 24 keys: texts, ids as
// texts, integers, a double, nulls, a nested array) with our decoder and
// serializer, beside RapidJSON and nlohmann/json on the same text, in the
// same run. Each figure is the best of several runs.
//
// Usage: json_bench [megabytes] [runs]   (defaults 20 and 5)

#include <nlohmann/json.hpp>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>

#include "JKArray.h"
#include "JSONDecoder.h"
#include "JSONKitSerializing.h"

namespace {

typedef std::chrono::steady_clock Clock;

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
  for (int position = 1; text.size() < targetBytes; ++position) {
    unsigned id = 100000 + below(900000);
    char record[2048];
    std::snprintf(record, sizeof record,
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

// The best time of `runs` runs of `work`, in seconds; `prepare` runs untimed
// before each (it frees the previous result, so freeing is not measured).
double best(int runs, const std::function<void()>& work, const std::function<void()>& prepare = [] {}) {
  double fastest = 1e9;
  for (int i = 0; i < runs; ++i) {
    prepare();
    Clock::time_point start = Clock::now();
    work();
    fastest = std::min(fastest, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return fastest;
}

void report(const char* what, double megabytes, double ours, double rapid, double nlohmann) {
  std::printf("%-10s ours %8.1f MB/s   RapidJSON %8.1f MB/s (ours/RapidJSON %.2f)   nlohmann %8.1f MB/s (ours/nlohmann %.2f)\n",
              what, megabytes / ours, megabytes / rapid, rapid / ours, megabytes / nlohmann, nlohmann / ours);
}

[[noreturn]] void die(const char* message) {
  std::fprintf(stderr, "json_bench: %s\n", message);
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20;
  int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  std::string text = makeDocument(megabytes * 1000 * 1000);
  double size = text.size() / 1e6;
  std::printf("document: %.1f MB, best of %d runs\n", size, runs);

  // Parse. A fresh decoder each run, so our string cache starts cold as theirs do.
  std::optional<JKValue> ourValue;
  double ourParse = best(
      runs,
      [&] {
        JSONDecoder decoder;
        JKError error;
        ourValue = decoder.objectWithData(text, &error);
        if (!ourValue) die(error.message.c_str());
      },
      [&] { ourValue.reset(); });
  rapidjson::Document rapidValue;
  double rapidParse = best(
      runs,
      [&] {
        rapidValue.Parse(text.data(), text.size());
        if (rapidValue.HasParseError()) die("RapidJSON failed to parse");
      },
      [&] { rapidjson::Document().Swap(rapidValue); });
  nlohmann::json nlohmannValue;
  double nlohmannParse = best(
      runs, [&] { nlohmannValue = nlohmann::json::parse(text); }, [&] { nlohmannValue = nullptr; });
  report("parse", size, ourParse, rapidParse, nlohmannParse);

  // Serialize (compact) what each one parsed.
  std::size_t checksum = 0;
  double ourWrite = best(runs, [&] {
    std::optional<std::string> out = JSONString(*ourValue);
    if (!out) die("our serializer failed");
    checksum += out->size();
  });
  double rapidWrite = best(runs, [&] {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    rapidValue.Accept(writer);
    checksum += buffer.GetSize();
  });
  double nlohmannWrite = best(runs, [&] { checksum += nlohmannValue.dump().size(); });
  report("serialize", size, ourWrite, rapidWrite, nlohmannWrite);
  std::printf("(checksum %zu)\n", checksum);
  return 0;
}
