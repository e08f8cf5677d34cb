#include "CrashReporter.h"

#include <execinfo.h>
#include <fcntl.h>
#include <glib.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "VLLogger.h"
#include "VLRegularFile.h"

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr int kMaximumFrames = 64;
// The stack the handler runs on: large enough for the backtrace's unwinding
// when the thread's own stack has overflowed.
constexpr size_t kAlternateStackBytes = 256 * 1024;

// Set up by install() before the handler can run; the handler only reads.
char reportFile[4096];
char versionLine[256];
volatile sig_atomic_t handling = 0;

const char* signalName(int number) {
  switch (number) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    case SIGABRT: return "SIGABRT";
    default: return "signal";
  }
}

// --- async-signal-safe writing ------------------------------------------------

void put(int fd, const char* text) {
  size_t length = strlen(text);
  while (length > 0) {
    ssize_t written = write(fd, text, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text += written;
    length -= static_cast<size_t>(written);
  }
}

void putNumber(int fd, long long value) {
  char digits[24];
  char* at = digits + sizeof digits;
  *--at = '\0';
  bool negative = value < 0;
  unsigned long long rest = negative ? 0ULL - static_cast<unsigned long long>(value) : value;
  do {
    *--at = static_cast<char>('0' + rest % 10);
    rest /= 10;
  } while (rest != 0);
  if (negative) *--at = '-';
  put(fd, at);
}

void writeReport(int number) {
  // Made anew, never through what stands at the name: a link planted there
  // would have the handler overwrite its target.
  unlink(reportFile);
  int fd = open(reportFile, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return;
  put(fd, "signal: ");
  putNumber(fd, number);
  put(fd, " (");
  put(fd, signalName(number));
  put(fd, ")\ntime: ");
  putNumber(fd, static_cast<long long>(time(nullptr)));
  put(fd, "\n");
  put(fd, versionLine);
  put(fd, "backtrace:\n");
  void* frames[kMaximumFrames];
  int count = backtrace(frames, kMaximumFrames);
  backtrace_symbols_fd(frames, count, fd);
  fsync(fd);
  close(fd);
}

void onFatalSignal(int number) {
  // A fault while writing the report ends the process at once.
  if (!handling) {
    handling = 1;
    writeReport(number);
  }
  struct sigaction standard = {};
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  sigaction(number, &standard, nullptr);
  // Let the signal through the handler's mask, then raise it again.
  sigset_t unblock;
  sigemptyset(&unblock);
  sigaddset(&unblock, number);
  sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
  raise(number);
}

bool copyInto(char* target, size_t size, const std::string& text) {
  if (text.size() + 1 > size) return false;
  memcpy(target, text.c_str(), text.size() + 1);
  return true;
}

}  // namespace

std::string CrashReporter::reportFolder(const std::string& stateFolder) {
  return stateFolder + "/crash-reports";
}

std::string CrashReporter::reportPath(const std::string& stateFolder) {
  return reportFolder(stateFolder) + "/last-crash.txt";
}

bool CrashReporter::install(const std::string& stateFolder, const std::string& version) {
  std::string folder = reportFolder(stateFolder);
  if (g_mkdir_with_parents(folder.c_str(), 0700) != 0) {
    VL_LOG_WARN("CrashReporter::install cannot make " << folder << ": " << g_strerror(errno));
    return false;
  }
  if (!copyInto(reportFile, sizeof reportFile, reportPath(stateFolder)) ||
      !copyInto(versionLine, sizeof versionLine, "version: " + version + "\n")) {
    VL_LOG_WARN("CrashReporter::install the report's path or version is too long");
    return false;
  }
  // The first backtrace loads the unwinder, which is no work for a handler.
  void* frames[1];
  backtrace(frames, 1);

  static void* stack = nullptr;
  if (stack == nullptr) stack = g_malloc(kAlternateStackBytes);
  stack_t alternate = {};
  alternate.ss_sp = stack;
  alternate.ss_size = kAlternateStackBytes;
  if (sigaltstack(&alternate, nullptr) != 0) {
    VL_LOG_WARN("CrashReporter::install no alternate stack: " << g_strerror(errno));
    return false;
  }
  struct sigaction action = {};
  action.sa_handler = onFatalSignal;
  action.sa_flags = SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int number : kSignals) sigaddset(&action.sa_mask, number);
  for (int number : kSignals) {
    if (sigaction(number, &action, nullptr) != 0) {
      VL_LOG_WARN("CrashReporter::install cannot catch " << signalName(number) << ": " << g_strerror(errno));
      return false;
    }
  }
  return true;
}

std::string CrashReporter::crashReportApplicationLog(const std::string& logFolder) {
  std::string text;
  GDir* directory = g_dir_open(logFolder.c_str(), 0, nullptr);
  if (directory == nullptr) return text;
  while (const char* name = g_dir_read_name(directory)) {
    if (text.size() >= kMaximumLogTextBytes) break;
    // Only regular files, and only their ends: a FIFO or a link to a device
    // in the folder must neither block the send nor fill the memory.
    std::string contents;
    if (!VLRegularFile::readTail(logFolder + "/" + name, kMaximumBytesPerLogFile, contents)) continue;
    gchar* valid = g_utf8_make_valid(contents.data(), static_cast<gssize>(contents.size()));
    text += "\n";
    text += name;
    text += ":\n\n";
    text += valid;
    g_free(valid);
  }
  g_dir_close(directory);
  return text;
}
