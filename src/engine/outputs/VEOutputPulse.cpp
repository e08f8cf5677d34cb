#include "VEOutputPulse.h"

#include <pulse/pulseaudio.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

// How long to wait for the server to answer before the output counts as
// unavailable: a server that answers at all does so within milliseconds, and
// one that takes connections but never answers (stopped, or socket-activated
// and stuck) must not hold the caller. A server missed here is found by the
// next look for a device.
constexpr auto kConnectTimeout = std::chrono::milliseconds(500);
constexpr unsigned int kLatencyMilliseconds = 50;

void signalLoop(pa_context*, void* loop) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}

void signalStream(pa_stream*, void* loop) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}

// Waits, with the loop locked, until ready() or failed() holds or the time
// is up. The lock is let go between looks, so the loop's thread can run.
template <typename Ready, typename Failed>
bool waitFor(pa_threaded_mainloop* loop, Ready ready, Failed failed) {
  auto deadline = std::chrono::steady_clock::now() + kConnectTimeout;
  while (!ready()) {
    if (failed() || std::chrono::steady_clock::now() > deadline) return false;
    pa_threaded_mainloop_unlock(loop);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    pa_threaded_mainloop_lock(loop);
  }
  return true;
}

// A main loop with a connected context; the loop is left locked.
bool connect(pa_threaded_mainloop** loop, pa_context** context) {
  *loop = pa_threaded_mainloop_new();
  if (!*loop) return false;
  if (pa_threaded_mainloop_start(*loop) < 0) {
    pa_threaded_mainloop_free(*loop);
    *loop = nullptr;
    return false;
  }
  pa_threaded_mainloop_lock(*loop);
  *context = pa_context_new(pa_threaded_mainloop_get_api(*loop), "Velora");
  if (!*context) return false;
  pa_context_set_state_callback(*context, signalLoop, *loop);
  if (pa_context_connect(*context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return false;
  pa_context* c = *context;
  return waitFor(
      *loop, [c] { return pa_context_get_state(c) == PA_CONTEXT_READY; },
      [c] { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(c)); });
}

// Ends what connect made; the loop must be locked (or null).
void disconnect(pa_threaded_mainloop* loop, pa_context* context) {
  if (!loop) return;
  if (context) {
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
  }
  pa_threaded_mainloop_unlock(loop);
  pa_threaded_mainloop_stop(loop);
  pa_threaded_mainloop_free(loop);
}

struct SinkList {
  pa_threaded_mainloop* loop = nullptr;
  std::string defaultSink;
  std::vector<VEOutputDriver> sinks;
  bool serverDone = false;
  bool sinksDone = false;
};

void serverInfo(pa_context*, const pa_server_info* info, void* data) {
  auto* list = static_cast<SinkList*>(data);
  if (info && info->default_sink_name) list->defaultSink = info->default_sink_name;
  list->serverDone = true;
  pa_threaded_mainloop_signal(list->loop, 0);
}

void sinkInfo(pa_context*, const pa_sink_info* info, int eol, void* data) {
  auto* list = static_cast<SinkList*>(data);
  if (eol || !info) {
    list->sinksDone = true;
    pa_threaded_mainloop_signal(list->loop, 0);
    return;
  }
  std::string name = info->name ? info->name : "";
  std::string label = info->description ? info->description : name;
  list->sinks.push_back(VEOutputDriver{label, name, VEOutput::driverId(name)});
}

}  // namespace

bool VEOutputPulse::listDrivers(std::vector<VEOutputDriver>* drivers) {
  pa_threaded_mainloop* loop = nullptr;
  pa_context* context = nullptr;
  if (!connect(&loop, &context)) {
    disconnect(loop, context);
    return false;
  }
  SinkList list;
  list.loop = loop;
  pa_operation* server = pa_context_get_server_info(context, serverInfo, &list);
  pa_operation* sinks = pa_context_get_sink_info_list(context, sinkInfo, &list);
  bool answered = server && sinks &&
                  waitFor(
                      loop, [&] { return list.serverDone && list.sinksDone; },
                      [context] { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context)); });
  if (server) pa_operation_unref(server);
  if (sinks) pa_operation_unref(sinks);
  disconnect(loop, context);
  if (!answered || list.sinks.empty()) return false;
  for (const VEOutputDriver& sink : list.sinks) {
    if (sink.device == list.defaultSink) drivers->push_back(sink);
  }
  for (const VEOutputDriver& sink : list.sinks) {
    if (sink.device != list.defaultSink) drivers->push_back(sink);
  }
  return true;
}

VEResult VEOutputPulse::open(const VEOutputDriver& driver, int sampleRate, VEMixSource* source) {
  close();
  source_ = source;
  lost_ = false;
  if (!connect(&loop_, &context_)) {
    disconnect(loop_, context_);
    loop_ = nullptr;
    context_ = nullptr;
    return VE_ERR_OUTPUT_INIT;
  }
  pa_sample_spec sampleFormat{PA_SAMPLE_S16LE, static_cast<uint32_t>(sampleRate), 2};
  stream_ = pa_stream_new(context_, "Velora playback", &sampleFormat, nullptr);
  bool ready = false;
  if (stream_) {
    pa_stream_set_state_callback(stream_, signalStream, loop_);
    pa_stream_set_write_callback(stream_, writeCallback, this);
    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.tlength = static_cast<uint32_t>(pa_usec_to_bytes(kLatencyMilliseconds * 1000, &sampleFormat));
    attributes.prebuf = static_cast<uint32_t>(-1);
    attributes.minreq = static_cast<uint32_t>(pa_usec_to_bytes(10 * 1000, &sampleFormat));
    attributes.fragsize = static_cast<uint32_t>(-1);
    const char* device = driver.device.empty() ? nullptr : driver.device.c_str();
    pa_stream* s = stream_;
    ready = pa_stream_connect_playback(s, device, &attributes, PA_STREAM_ADJUST_LATENCY, nullptr, nullptr) == 0 &&
            waitFor(
                loop_, [s] { return pa_stream_get_state(s) == PA_STREAM_READY; },
                [s] { return !PA_STREAM_IS_GOOD(pa_stream_get_state(s)); });
  }
  if (ready) {
    // From here on a failure is the loss of the device.
    pa_context_set_state_callback(context_, contextStateCallback, this);
    pa_stream_set_state_callback(stream_, streamStateCallback, this);
  }
  pa_threaded_mainloop_unlock(loop_);
  if (!ready) {
    close();
    return VE_ERR_OUTPUT_INIT;
  }
  return VE_OK;
}

void VEOutputPulse::contextStateCallback(pa_context* context, void* self) {
  if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) static_cast<VEOutputPulse*>(self)->lost_ = true;
}

void VEOutputPulse::streamStateCallback(pa_stream* stream, void* self) {
  if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) static_cast<VEOutputPulse*>(self)->lost_ = true;
}

void VEOutputPulse::writeCallback(pa_stream* stream, size_t bytes, void* self) {
  auto* output = static_cast<VEOutputPulse*>(self);
  void* data = nullptr;
  if (pa_stream_begin_write(stream, &data, &bytes) < 0 || !data) return;
  size_t frames = bytes / 4;
  output->source_->render(static_cast<int16_t*>(data), frames);
  pa_stream_write(stream, data, frames * 4, nullptr, 0, PA_SEEK_RELATIVE);
}

void VEOutputPulse::close() {
  if (!loop_) return;
  pa_threaded_mainloop_lock(loop_);
  if (stream_) {
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
  }
  disconnect(loop_, context_);
  loop_ = nullptr;
  context_ = nullptr;
}

// ThreadSanitizer builds only: libpulse is not instrumented, so its main loop's
// own locking looks like races to the sanitizer. Reports whose stack lies inside
// libpulse are suppressed; our side (the loop lock around every call) stays
// checked. Kept in this file so that it is linked wherever this output is.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
  return "race:libpulsecommon-16.1.so\n"
         "race:libpulse.so.0\n";
}
#endif
