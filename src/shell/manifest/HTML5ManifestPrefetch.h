#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "HTML5Manifest.h"

class OfflineResourceStore;

// Fetches the player's application-cache manifest and every explicit entry
// of it (but HTML pages) into the offline store, so that a later start
// without network finds the page's scripts, styles and images.
//
// Threads: start, cancel and the destructor on the owner's thread (the main
// thread); the fetching runs on a thread of its own and touches nothing but
// the store. The application starts it 3 seconds after requesting the player
// page; nothing is reported back.
class HTML5ManifestPrefetch {
 public:
  // `manifestURL`: the manifest's address (see manifestAddressFor).
  // `userAgent`: the main web view's user agent, sent with every entry.
  // `store` must outlive this object.
  HTML5ManifestPrefetch(std::string manifestURL, std::string userAgent, OfflineResourceStore& store);
  // Cancels a running pre-fetch and waits for its thread (at most about a
  // second, the time-out of one entry).
  ~HTML5ManifestPrefetch();
  HTML5ManifestPrefetch(const HTML5ManifestPrefetch&) = delete;
  HTML5ManifestPrefetch& operator=(const HTML5ManifestPrefetch&) = delete;

  // Starts the pre-fetch thread; a second call does nothing.
  void start();
  // Waits until the pre-fetch thread has ended (returns at once when none runs).
  void wait();
  // Asks the running fetches to stop; the thread ends soon after.
  void cancel();

  // The thread's body: fetches and parses the manifest, then its entries.
  // May be called directly (blocking).
  void cacheHTML5ManifestFiles();
  // Fetches each explicit entry, resolved against the manifest address, and
  // keeps the 2xx answers. An entry whose address ends in ".html", is not
  // http or https, fails or takes more than a second is skipped (logged).
  // Returns the number of resources stored.
  int cacheFilesFromManifest(const HTML5Manifest& manifest);

  // The entry's absolute address against the manifest address; false when
  // it cannot be made.
  bool resolveEntry(const std::string& entry, std::string& address) const;

  // The address of "manifest.appcache" beside the player page at
  // `playerAddress` (resolved as a relative link of the page: a player
  // address with a query or a file name keeps neither); empty when the
  // player address is no http or https address.
  static std::string manifestAddressFor(const std::string& playerAddress);

 private:
  bool cacheEntry(const std::string& entry);

  const std::string manifestURL_;
  const std::string userAgent_;
  OfflineResourceStore& store_;
  std::atomic<bool> cancelled_{false};
  std::mutex threadMutex_;  // guards thread_
  std::thread thread_;
};
