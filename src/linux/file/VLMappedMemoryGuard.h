#pragma once

// Lets a thread touch the bytes of shared file mappings and live through a
// file being shortened under its mapping by another program (a tag editor,
// a sync tool, a failing disk): a page past the file's new end faults with
// SIGBUS, which would end the process.
class VLMappedMemoryGuard {
 public:
  // Runs access(context) on the calling thread; false when it faulted with
  // SIGBUS, which stops it where it was (what it wrote until then stays
  // written). access must hold nothing that needs destroying, since it is
  // left without unwinding. Guards nest. The first call installs the SIGBUS
  // handler; a SIGBUS outside a guarded access goes to the handler installed
  // before it (the crash reporter's, or the default that ends the process).
  // Any thread.
  static bool run(void (*access)(void*), void* context);
};
