#pragma once

#include <atomic>
#include <string>

#include "HTML5Manifest.h"

// Fetches and parses HTML5 application-cache manifests. Class operations only;
// any thread.
class HTML5ManifestParser {
 public:
  HTML5ManifestParser() = delete;

  // Fetches `url` + "?ts=<seconds since 1970>" (so that no cache answers)
  // with a 10-second limit and parses the answer. False, with `manifest`
  // untouched, when the fetch fails, the status is not 2xx, the bytes are
  // not UTF-8 or they hold no manifest. `cancel`, when given, stops the
  // fetch once it turns true. Blocks the calling thread.
  static bool parsedManifestFromURL(const std::string& url, const std::string& userAgent, HTML5Manifest& manifest,
                                    const std::atomic<bool>* cancel = nullptr);

  // Parses manifest text: the first "CACHE MANIFEST" anywhere in the text,
  // followed by a blank, a line break or the end, starts the manifest; the
  // rest of that line is ignored. Lines break at CR or LF; "#" lines are
  // comments; "CACHE:", "NETWORK:" and "FALLBACK:" switch sections and any
  // other line ending in ":" starts a section whose lines are skipped. False
  // (`manifest` untouched) when there is no such signature.
  static bool parseManifest(const std::string& text, HTML5Manifest& manifest);
};
