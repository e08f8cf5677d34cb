#pragma once

#include <cstddef>
#include <string>

class VLRepositoryFile;

// What a repository file holds, compared with what the test HTTP server
// sends. For tests only.
class TestRepositoryContent {
 public:
  // Reads every run of bytes that the open file counts present and compares
  // it with TestHttpServer::content(seed, ...). Returns the number of
  // present bytes. mismatch receives the first run that differs or could
  // not be read ("first-last"), or "no bitmap" when the runs cannot be
  // listed; it stays empty when every present byte is the server's.
  static size_t presentServerBytes(VLRepositoryFile* file, unsigned seed, std::string* mismatch);
};
