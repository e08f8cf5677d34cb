// Plain types shared by the audio engine's public classes: output types,
// open states, time units, the file-callback signatures and the read request.
#pragma once

#include <atomic>

#include "VEResult.h"

class VEChannel;

// Output types. The numbers are fixed: callers store them in output ids.
enum VEOutputType : int {
  VE_OUTPUTTYPE_AUTODETECT = 0,     // PulseAudio if a server answers, else ALSA, else no sound
  VE_OUTPUTTYPE_PULSEAUDIO = 1,     // drivers are the server's sinks, the default sink first
  VE_OUTPUTTYPE_ALSA = 2,           // drivers: "default", card devices, server bridges; only those that open
  VE_OUTPUTTYPE_NOSOUND = 3,        // mixes in real time on its own thread and drops the sound
  VE_OUTPUTTYPE_WAVWRITER = 4,      // mixes in real time into a WAV file (path below)
  VE_OUTPUTTYPE_NOSOUND_NRT = 5,    // non-real-time: mixes only inside VESystem::update
  VE_OUTPUTTYPE_WAVWRITER_NRT = 6,  // non-real-time WAV file: mixes only inside VESystem::update
};

// The WAV writer outputs write to the path given as init's extraDriverData
// (a const char*) or, when that is null, to the path in this environment
// variable. With neither, init answers VE_ERR_OUTPUT_INIT.
constexpr const char* VE_WAVWRITER_PATH_VARIABLE = "VELORA_ENGINE_WAV_PATH";

// Each type's stable name is in the output table (veOutputTypeName, VEOutputTable.h).

// Open state of a sound, as reported by VESound::getOpenState.
enum VEOpenState : int {
  VE_OPENSTATE_READY = 0,        // opened; decoding and playing as asked
  VE_OPENSTATE_LOADING = 1,      // the open callback or the header parse is still running
  VE_OPENSTATE_ERROR = 2,        // the open failed (the getOpenState result says why)
  VE_OPENSTATE_CONNECTING = 3,   // not reported by this engine
  VE_OPENSTATE_BUFFERING = 4,    // not reported by this engine
  VE_OPENSTATE_SEEKING = 5,      // not reported by this engine
  VE_OPENSTATE_PLAYING = 6,      // not reported by this engine (release never stalls)
  VE_OPENSTATE_SETPOSITION = 7,  // a seek is in progress: data at the target is not decoded yet
};

// Time units for lengths and positions.
enum VETimeUnit : unsigned int {
  VE_TIMEUNIT_MS = 1,        // milliseconds
  VE_TIMEUNIT_PCM = 2,       // sample frames at the source's own rate
  VE_TIMEUNIT_PCMBYTES = 4,  // not supported
  VE_TIMEUNIT_RAWBYTES = 8,  // bytes of the encoded file (lengths and buffer sizes only)
};

enum VESoundFormat : int {
  VE_SOUND_FORMAT_PCM16 = 2,  // the only mix format: signed 16-bit, native endian
};

// Resampler quality, for sources whose rate differs from the mix rate
// (libsoxr's quick, low, medium and high quality, cheapest first).
enum VEResampler : int {
  VE_RESAMPLER_NOINTERP = 0,  // quick cubic interpolation
  VE_RESAMPLER_LINEAR = 1,    // low-quality band-limited
  VE_RESAMPLER_CUBIC = 2,     // medium-quality band-limited
  VE_RESAMPLER_SPLINE = 3,    // high-quality band-limited (sox's default `rate`)
};

// Modes of VESystem::createStream. Streams are always opened without blocking
// and never loop; other flags are accepted and ignored.
enum VEMode : unsigned int {
  VE_MODE_DEFAULT = 0,
  // Accepted; every stream searches: MP3 plays from the first frame sync that the next frame confirms,
  // at most 128 KiB after the ID3 tag or the start of the file.
  VE_MODE_MPEGSEARCH = 0x00008000,
  VE_MODE_NONBLOCKING = 0x00010000,  // accepted; every stream opens without blocking
  VE_MODE_IGNORETAGS = 0x02000000,   // accepted; tags are always skipped
};

// Channel indices with a special meaning for VESystem::playSound.
enum VEChannelIndex : int {
  VE_CHANNEL_FREE = -1,   // the lowest channel with nothing attached
  VE_CHANNEL_REUSE = -2,  // the channel passed in through the channel argument
};

enum VEChannelCallbackType : int {
  VE_CHANNEL_CALLBACKTYPE_END = 0,  // the sound played to its end; the only type raised
};

// Identity of an output driver. data1 is a hash of the driver's device name:
// stable across runs and never 0; the other fields are 0.
struct VEGuid {
  unsigned int data1;
  unsigned short data2;
  unsigned short data3;
  unsigned char data4[8];
};

// An asynchronous read request, handed to the read callback.
//
// The engine fills every field, sets result to VE_ERR_NOTREADY and then calls
// the read callback, which must return at once. Whoever serves the request
// (on any thread, at any later time) copies at most sizeBytes bytes into
// buffer, writes bytesRead, and writes result LAST: the store of result is
// the release that publishes buffer and bytesRead, and the engine reads
// result with acquire ordering (std::atomic's default store and load do this).
// Results: VE_OK (all sizeBytes bytes), VE_ERR_FILE_EOF (bytesRead bytes, then
// the file's data ends), anything else fails the read (the open fails, or the
// stream ends there).
//
// The engine keeps the request and its buffer alive until result is written,
// even past VESound::release and VESystem::close, and never closes a handle
// while a request on it waits. Requests are never cancelled.
// offset is a multiple of the block alignment; sizeBytes is a multiple of it
// too unless the read ends at the end of the file; sizeBytes never exceeds the
// stream buffer size and offset + sizeBytes never exceeds the file size.
struct VEReadRequest {
  void* handle = nullptr;                    // the file handle the open callback gave
  unsigned int offset = 0;                   // first byte to read
  unsigned int sizeBytes = 0;                // bytes wanted
  int priority = 0;                          // 0 (can wait) .. 100 (playback waits for it)
  void* buffer = nullptr;                    // destination, sizeBytes long, owned by the engine
  unsigned int bytesRead = 0;                // written by the server before result
  std::atomic<int> result{VE_ERR_NOTREADY};  // written by the server, last
  void* userData = nullptr;                  // the user data the open callback gave
};

// File callbacks. They run on the engine's threads (see VESystem for which
// call runs where) and must not call into the engine.
//
// Open: name is the text given to createStream; *userData holds the user data
// given to VESystem::setFileSystem. On success write the file's size in bytes,
// a handle (any value, passed back to read and close) and the user data for
// them (leave *userData as it is to keep the file system's), and answer VE_OK. Any other answer fails the open with that code
// (VE_ERR_FILE_NOTFOUND, or VE_ERR_INTERNAL for unknown codes); the engine then
// calls no close for it. The open may block for as long as it needs.
typedef VEResult (*VEFileOpenCallback)(const char* name, unsigned int* fileSize, void** handle, void** userData);
// Close: called exactly once for every open that answered VE_OK, after the
// last read on the handle has its result. The answer is ignored.
typedef VEResult (*VEFileCloseCallback)(void* handle, void* userData);
// Asynchronous read: queue the request and return at once. VE_OK means
// queued; anything else fails the read at once (the request is not kept).
typedef VEResult (*VEFileAsyncReadCallback)(VEReadRequest* request, void* userData);

// Channel callback, raised only from inside VESystem::update on the thread
// that calls it. data1 and data2 are null for VE_CHANNEL_CALLBACKTYPE_END.
// It may call the channel's and the system's methods (not close/release).
typedef VEResult (*VEChannelCallback)(VEChannel* channel, VEChannelCallbackType type, void* data1, void* data2);
