#pragma once

class VLRepository;
class VLFileId;

// How the HTTP range provider obtains the URL of a file that has none. The
// provider receives it in its init and never deletes it, hence the protected
// destructor.
class VLAskFileUrlDelegate {
 public:
  // Asks the page for the file's URL; returns at once. The answer arrives later
  // on the main thread (through the provider's setFileUrl). Called on the worker
  // thread while the provider holds its own mutex.
  virtual void askFileUrl(VLRepository* repository, const VLFileId& fileId) = 0;
  // Whether the page has declared itself ready (and has not asked to terminate).
  virtual bool isJSReady() = 0;

 protected:
  ~VLAskFileUrlDelegate() {}
};
