// Round trip of a value-returning page call (AudioBinding.getPosition) through
// the page-object channel, beside an empty JavaScript function call and beside
// WebKit's own asynchronous message handler round trip, all timed by the same
// page in the same run (each figure per call, over batches of calls: the
// page's timer is coarse). Needs a display and a session bus:
//
//   scripts/in-display-session build/bench/bridge_roundtrip_bench [calls]
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ShellTestServer.h"
#include "VeloraDesktopAppDelegate.h"

namespace {

// The numbers of one array of the page's JSON report (no nesting inside).
std::vector<double> numbersOf(const std::string& json, const std::string& key) {
  std::vector<double> numbers;
  size_t at = json.find("\"" + key + "\":[");
  if (at == std::string::npos) return numbers;
  at = json.find('[', at) + 1;
  size_t end = json.find(']', at);
  while (at < end) {
    char* next = nullptr;
    numbers.push_back(g_ascii_strtod(json.c_str() + at, &next));
    at = static_cast<size_t>(next - json.c_str()) + 1;
  }
  return numbers;
}

double numberOf(const std::string& json, const std::string& key) {
  size_t at = json.find("\"" + key + "\":");
  return at == std::string::npos ? 0 : g_ascii_strtod(json.c_str() + at + key.size() + 3, nullptr);
}

double percentile(std::vector<double> samples, double fraction) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  size_t index = std::min(samples.size() - 1, static_cast<size_t>(fraction * static_cast<double>(samples.size())));
  return samples[index];
}

void print(const char* name, const std::vector<double>& samples, double perBatch) {
  std::printf("%-44s median %9.3f us   p99 %9.3f us   (%zu batches of %.0f calls)\n", name,
              percentile(samples, 0.5) * 1000, percentile(samples, 0.99) * 1000, samples.size(), perBatch);
}

}  // namespace

int main(int argc, char** argv) {
  const char* calls = argc > 1 ? argv[1] : "10000";
  gchar* home = g_dir_make_tmp("roundtrip-bench-XXXXXX", nullptr);
  for (const char* variable : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"}) {
    g_setenv(variable, (std::string(home) + "/" + variable).c_str(), TRUE);
  }
  gtk_init(&argc, &argv);
  ShellTestServer server(VELORA_SOURCE_DIR "/bench/pages");
  if (!server.start()) return 1;
  VeloraDesktopAppDelegate application(server.playerOrigin() + "/roundtrip.html?calls=" + calls);
  if (!application.start(nullptr, VELORA_BINARY_DIR "/webext")) return 1;

  // WebKit's own message handler, answering each message at once.
  WebKitUserContentManager* content = webkit_web_view_get_user_content_manager(application.window()->mainView());
  g_signal_connect(
      content, "script-message-with-reply-received::bench",
      G_CALLBACK(+[](WebKitUserContentManager*, JSCValue* value, WebKitScriptMessageReply* reply, gpointer) {
        webkit_script_message_reply_return_value(reply, value);
        return TRUE;
      }),
      nullptr);
  webkit_user_content_manager_register_script_message_handler_with_reply(content, "bench", nullptr);

  if (!ShellTestServer::runUntil([&server] { return server.hasReport("roundtrip"); }, 600)) {
    std::fprintf(stderr, "the page did not report\n");
    return 1;
  }
  const std::string report = server.report("roundtrip");
  double batch = numberOf(report, "batch");
  std::printf("per call, as the page times it (timer resolution %.0f us, so per batch):\n",
              numberOf(report, "resolution") * 1000);
  std::vector<double> channel = numbersOf(report, "getPosition");
  std::vector<double> channelFine = numbersOf(report, "getPositionFine");
  std::vector<double> webkit = numbersOf(report, "messageHandler");
  print("AudioBinding.getPosition (page-object channel)", channel, batch);
  print("AudioBinding.getPosition (page-object channel)", channelFine, 1000);
  print("empty JavaScript function call", numbersOf(report, "emptyFunction"), 10000000);
  print("WebKit message handler round trip (async)", webkit, batch);
  double webkitMedian = percentile(webkit, 0.5);
  if (webkitMedian > 0) {
    std::printf("getPosition / WebKit's handler: median %.3f (batches of 1000: %.3f), p99 %.3f\n",
                percentile(channel, 0.5) / webkitMedian, percentile(channelFine, 0.5) / webkitMedian,
                percentile(channel, 0.99) / percentile(webkit, 0.99));
  }
  application.stop();
  gchar* command = g_strdup_printf("rm -rf '%s'", home);
  if (std::system(command) != 0) std::fprintf(stderr, "cannot remove %s\n", home);
  g_free(command);
  g_free(home);
  return 0;
}
