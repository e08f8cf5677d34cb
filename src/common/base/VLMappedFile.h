#pragma once

#include <cstddef>
#include <string>
#include <type_traits>

// One file on disk presented as one block of shared, writable memory. Made by
// VLPlatformFactory::createMappedFile, closed at first, owned by the caller;
// deleting it closes it (the file stays). No lock: one thread at a time.
//
// States: closed (isOpen false, getData null, getSize 0) and open at a size.
// Every failed open leaves it closed, logs one error (none once setQuiet was
// called) and returns false. When a file grows, the new range is reserved on
// disk before it is mapped, so a full disk fails the open instead of faulting
// a later write through the mapping.
// getData is valid until the next close, resize or open.
class VLMappedFile {
 public:
  explicit VLMappedFile(const std::string& path) : path_(path) {}
  virtual ~VLMappedFile() = 0;

  // Opens at the file's present size (creates an empty file when missing).
  virtual bool open() = 0;
  // Unmaps and closes; harmless when closed.
  virtual void close() = 0;
  virtual bool isOpen() = 0;
  // The first mapped byte; null while closed or open at size 0.
  virtual unsigned char* getData() = 0;
  // The size of the last successful open; 0 while closed.
  virtual size_t getSize() = 0;
  // Opens or creates the file (mode 0644), gives it exactly `size` bytes (new
  // bytes read 0, bytes beyond `size` are cut) and maps it. `size` all ones
  // means the present size. An object that is open is closed first.
  virtual bool open(size_t size) = 0;
  // As open(size), but the new range is not reserved on disk: the file takes
  // room only as its bytes are written (see reserve). The base reserves it
  // all the same.
  virtual bool openUnreserved(size_t size) { return open(size); }
  // Reserves offset..offset + length (clamped to the size) on disk, ahead of
  // a write through the mapping there, which a hole the disk cannot back
  // would fault. Harmless over bytes already reserved. It may reserve more
  // around the range while the disk has room for it, so that writes of a few
  // kilobytes seldom reach the system. False, with an error in the log, when
  // the disk has no room for the range itself. The base answers true.
  virtual bool reserve(size_t offset, size_t length);
  // Writes the bytes of offset..offset + length (clamped to the size) that
  // were changed through the mapping to the disk and waits until they are
  // there: what is stored after this call cannot be ordered after what is
  // changed later. True when closed or nothing is to be written; false, with
  // an error in the log, when the system refused.
  virtual bool flush(size_t offset, size_t length) = 0;
  // Starts writing the changed bytes of offset..offset + length (clamped to
  // the size) to the disk and returns without waiting for them: a later
  // flush of the range then waits only for what is still on its way. True
  // when closed or nothing is to be written; false, with an error in the
  // log, when the system refused.
  virtual bool startFlush(size_t offset, size_t length) = 0;

  // Runs access, which reads or writes the bytes of mapped files (this one's
  // or others'), and tells whether it ran to its end: false when another
  // program shortened a file under its mapping and the access met a page
  // past the file's new end, where it stopped (what it wrote until then
  // stays written). The access is left without unwinding then: it must hold
  // nothing that needs destroying. Any thread.
  template <class Access>
  bool guard(Access&& access) {
    typedef std::remove_reference_t<Access> Callable;
    return runGuarded([](void* context) { (*static_cast<Callable*>(context))(); }, &access);
  }
  // The work of guard: runs access(context). This base runs it unguarded
  // and answers true.
  virtual bool runGuarded(void (*access)(void*), void* context);

  // Gives the file `size` bytes, all zero when `zeroFill`, and leaves it open or
  // closed as it was; a failed open leaves it closed. Without `reserveRoom`
  // the new bytes take no room on disk until they are reserved.
  bool resize(size_t size, bool zeroFill, bool reserveRoom = true);
  // Sets every byte to 0 at the present size, leaving it open or closed as it was.
  bool zeroFill();
  std::string getPath() const { return path_; }
  // A failed open (the file not made, no room for its size) is no longer
  // logged: for a caller that expects it, such as a probe of whether a folder
  // takes files, run again and again, which tells what it found itself.
  void setQuiet() { quiet_ = true; }
  bool isQuiet() const { return quiet_; }

 private:
  std::string path_;
  bool quiet_ = false;
};
