#pragma once

#include <cstdint>
#include <string>

class VLThread;
class VLRunnerObject;
class VLMutex;
class VLCrypto;
class VLFileHelper;
class VLMappedFile;
class VLSettingHelper;
class VLWakeEvent;

// The one seam between the core and the operating system: every thread, lock,
// clock read, sleep, digest, file operation, preference and the proxy setting
// goes through the process-wide factory.
//
// Ownership: createThread, createMutex, createWakeEvent, createCrypto and
// createMappedFile return a new object on every call, owned by the caller
// (delete through the virtual destructor). getFileHelper and getSettingHelper
// return process-wide objects owned by the factory; callers never delete them.
// The factory is never deleted.
class VLPlatformFactory {
 public:
  virtual ~VLPlatformFactory() {}

  // The process-wide factory. The first call creates the platform's factory
  // (thread-safe); later calls cost one atomic pointer load. Never null.
  static VLPlatformFactory* instance();

  // Test seam: installs `factory` as the process-wide factory and returns the
  // previous one (null when none was made yet), which is not deleted. Meant to
  // be called before the core starts its threads (typically at the top of a
  // test, e.g. to put a controllable clock behind the core); the caller keeps
  // ownership of `factory` and must keep it alive while it is installed.
  // Passing null makes the next instance() call create the platform factory.
  static VLPlatformFactory* setInstance(VLPlatformFactory* factory);

  // Defined by the platform layer: the platform's own factory, made once
  // (thread-safely), never destroyed. instance() hands it out until a test
  // installs another; a test wrapper may forward to it.
  static VLPlatformFactory* createDefault();

  // Creates and starts a thread that calls runner->run(); the thread becomes the
  // runner's driving thread (see VLRunnerObject). A null runner gives a thread
  // that ends at once. Returns null, with the runner left without a thread,
  // when the platform thread cannot be started. Any thread may call.
  virtual VLThread* createThread(const std::string& name, VLRunnerObject* runner, int parameter) = 0;

  // A new, unlocked, recursive mutex.
  virtual VLMutex* createMutex() = 0;

  // A new wake event, not signalled: how a thread waits for work that
  // other threads hand it, instead of sleeping a fixed time.
  virtual VLWakeEvent* createWakeEvent() = 0;

  // A new MD5 digest object.
  virtual VLCrypto* createCrypto() = 0;

  // The process-wide file helper (owned by the factory).
  virtual VLFileHelper* getFileHelper() = 0;

  // A new, closed mapped file for `path`; nothing is touched on disk yet.
  virtual VLMappedFile* createMappedFile(const std::string& path) = 0;

  // Blocks the calling thread for `milliseconds` (any 64-bit count; no wrap).
  virtual void sleep(uint64_t milliseconds) = 0;

  // Seconds as a double with sub-millisecond resolution, from a monotonic clock:
  // only differences between two values are meaningful (intervals, ages). Stored
  // timestamps use getEpochTime.
  virtual double getTime() = 0;

  // Whole seconds since 1970-01-01 UTC from the wall clock: the stamps that are
  // stored (in the index) and compared across runs. May step when the system's
  // clock is set.
  virtual int64_t getEpochTime() = 0;

  // The process-wide setting helper (owned by the factory).
  virtual VLSettingHelper* getSettingHelper() = 0;

  // True when the system has an HTTP proxy; `proxy` is then "host:port",
  // or a proxy URL ("scheme://[user[:password]@]host:port") when the system
  // names a scheme or credentials. The url plays no part. This default
  // answers false and leaves `proxy` alone.
  virtual bool getProxyConfig(const std::string& url, std::string& proxy);
  // The hosts that are reached without the proxy, as the system lists them
  // (comma-separated names, domains and addresses, "*" for all); empty for
  // none. This default answers empty.
  virtual std::string getNoProxyHosts();
};
