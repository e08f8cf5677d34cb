#pragma once

#include <atomic>
#include <string>

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

// Process-wide owner of the diagnostic log set-up: one log4cplus logger named
// "desktop" writing "<log folder>/desktop.log" through a rolling appender
// (1000000 bytes, one backup, flushed after each event) at level DEBUG, one
// line per event (VLLogLineLayout).
//
// init and shutdown run on the main thread while no other core thread runs;
// isEnabled and the VL_LOG_* statements may run on any thread.
class VLLogger {
 public:
  // The process-wide object, made on first use (thread-safe); never deleted.
  static VLLogger* instance();

  virtual ~VLLogger();

  bool isEnabled() const { return enabled_.load(std::memory_order_acquire); }
  // A copy of the logger name, "desktop".
  std::string getName() const { return name_; }
  // The log4cplus logger of that name (a handle valid for the whole run).
  log4cplus::Logger& getLogger() { return logger_; }

  // The local log folder; when `name` is not empty followed by the separator,
  // `name` and ".log". Empty when no log folder is available.
  std::string getLogFilePath(const std::string& name);

  // Sets the rolling log up once; a second call changes nothing. Leaves logging
  // off, silently, when there is no log path.
  void init();
  // Closes every appender; later statements write nothing. init may follow.
  void shutdown();

 private:
  VLLogger();

  std::atomic<bool> enabled_;
  std::string name_;
  log4cplus::Logger logger_;
};

// Log statements: VL_LOG_ERROR("open has failed (" << errno << ") : " << path);
// Nothing is evaluated unless logging is on and the level is enabled; the file,
// line and function are recorded.
#define VL_LOG_AT(LEVEL_MACRO, message)                        \
  do {                                                         \
    if (VLLogger::instance()->isEnabled()) {                   \
      LEVEL_MACRO(VLLogger::instance()->getLogger(), message); \
    }                                                          \
  } while (0)

#define VL_LOG_TRACE(message) VL_LOG_AT(LOG4CPLUS_TRACE, message)
#define VL_LOG_DEBUG(message) VL_LOG_AT(LOG4CPLUS_DEBUG, message)
#define VL_LOG_INFO(message) VL_LOG_AT(LOG4CPLUS_INFO, message)
#define VL_LOG_WARN(message) VL_LOG_AT(LOG4CPLUS_WARN, message)
#define VL_LOG_ERROR(message) VL_LOG_AT(LOG4CPLUS_ERROR, message)
