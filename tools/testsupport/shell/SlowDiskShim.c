// A disk that is slow, for the client's tests: loaded with LD_PRELOAD, it
// makes fsync and fdatasync of files under the folder named by
// VELORA_SLOW_FSYNC_FOLDER take VELORA_SLOW_FSYNC_MILLISECONDS longer, then
// syncs as the C library does; and remove() of a path under the folder named
// by VELORA_SLOW_REMOVE_FOLDER take VELORA_SLOW_REMOVE_MILLISECONDS longer
// (a removal of many files, which a test can watch while it runs). Every
// other file syncs and goes as usual. Each slowed sync adds a line to the file
// VELORA_SLOW_FSYNC_LOG names, when set, so a test can tell that the program
// ran with it.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static int isUnder(const char* path, const char* variable) {
  const char* folder = getenv(variable);
  if (folder == NULL || folder[0] == '\0') return 0;
  size_t folderLength = strlen(folder);
  return strncmp(path, folder, folderLength) == 0 && (path[folderLength] == '/' || path[folderLength] == '\0');
}

static int underSlowFolder(int descriptor) {
  char link[64];
  char path[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", descriptor);
  ssize_t length = readlink(link, path, sizeof path - 1);
  if (length <= 0) return 0;
  path[length] = '\0';
  return isUnder(path, "VELORA_SLOW_FSYNC_FOLDER");
}

static void sleepFor(const char* variable) {
  const char* text = getenv(variable);
  long milliseconds = text != NULL ? strtol(text, NULL, 10) : 0;
  if (milliseconds <= 0) return;
  struct timespec wait = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

static void slowDown(int descriptor) {
  if (!underSlowFolder(descriptor)) return;
  const char* log = getenv("VELORA_SLOW_FSYNC_LOG");
  if (log != NULL && log[0] != '\0') {
    int out = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (out >= 0) {
      (void)!write(out, "slowed\n", 7);
      close(out);
    }
  }
  sleepFor("VELORA_SLOW_FSYNC_MILLISECONDS");
}

int fsync(int descriptor) {
  static int (*real)(int) = NULL;
  if (real == NULL) real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  slowDown(descriptor);
  return real(descriptor);
}

int fdatasync(int descriptor) {
  static int (*real)(int) = NULL;
  if (real == NULL) real = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
  slowDown(descriptor);
  return real(descriptor);
}

int remove(const char* path) {
  static int (*real)(const char*) = NULL;
  if (real == NULL) real = (int (*)(const char*))dlsym(RTLD_NEXT, "remove");
  if (path != NULL && isUnder(path, "VELORA_SLOW_REMOVE_FOLDER")) sleepFor("VELORA_SLOW_REMOVE_MILLISECONDS");
  return real(path);
}
