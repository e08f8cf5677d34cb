#include "VLMappedMemoryGuard.h"

#include <setjmp.h>
#include <signal.h>

#include <cerrno>
#include <mutex>

#include "VLLogger.h"

namespace {

// Where the guarded access of this thread returns to after a SIGBUS; null
// outside guarded accesses.
thread_local sigjmp_buf* t_guard = nullptr;
struct sigaction g_previous;
std::once_flag g_installed;

void onBusError(int number, siginfo_t* info, void*) {
  if (sigjmp_buf* guard = t_guard) siglongjmp(*guard, 1);
  // Not a guarded access: the handler that was there before takes it. A
  // fault happens again when this returns and reaches it; a signal sent by
  // a program is sent again.
  sigaction(SIGBUS, &g_previous, nullptr);
  if (info == nullptr || info->si_code <= 0) raise(number);
}

void install() {
  struct sigaction action = {};
  action.sa_sigaction = onBusError;
  // Not blocked while handled: the jump back leaves the signal mask as it
  // was, so the next fault is caught as well.
  action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGBUS, &action, &g_previous) != 0)
    VL_LOG_ERROR("Unable to catch SIGBUS, a file shortened under its mapping ends the program (" << errno << ")");
}

}  // namespace

bool VLMappedMemoryGuard::run(void (*access)(void*), void* context) {
  std::call_once(g_installed, install);
  sigjmp_buf guard;
  sigjmp_buf* const outer = t_guard;
  if (sigsetjmp(guard, 0) != 0) {
    t_guard = outer;
    return false;
  }
  t_guard = &guard;
  access(context);
  t_guard = outer;
  return true;
}
