#pragma once

#include <string>

// Where resources fetched ahead of time are kept for an offline start and a
// cache-only reload of the player page: each resource by its absolute
// address, with its MIME type and its bytes.
//
// Thread-safety: storeResource is called from the pre-fetch thread while the
// main thread may read or save the store, so an implementation guards itself.
class OfflineResourceStore {
 public:
  virtual ~OfflineResourceStore() {}

  // Keeps the resource, replacing an earlier one of the same address.
  // `mimeType` is the answer's Content-Type ("" when it had none). False
  // (logged by the store) when it could not be kept.
  virtual bool storeResource(const std::string& address, const std::string& mimeType, const std::string& bytes) = 0;
};
