#pragma once

#include <cstddef>
#include <string>

// Rescue of a repository index database that SQLite reads as damaged (a file
// truncated or overwritten by a crash, a full disk or a user). The indexes run
// with synchronous writes off, so a power loss can leave such a file behind;
// without a rescue every download would vanish from the list and every new one
// would be lost again at each start, since nothing could be saved.
//
// Used by the repository's init on its own thread, while the repository holds
// no connection to the file. Every step logs its own failure.
class VLRepositoryIndexRescue {
 public:
  explicit VLRepositoryIndexRescue(const std::string& databasePath);

  // True when SQLite finds the file damaged: not a database at all, or a
  // structure check that does not answer "ok". A file that is busy in
  // another process, missing or unreadable for want of rights is not damaged.
  bool isDamaged() const;

  // Reads every row of the "files" table that can still be read (rows of
  // all repositories and identities that share the file), lists in the log
  // the rows that cannot be read as far as the table's indexes still name
  // them (repository, identity, entity and format, file name), and writes
  // the rows read to
  // a new database beside it, under the damaged file's own table definition
  // (or today's when that cannot be read). Only once that is whole are the
  // damaged file's journal moved aside (getAsidePath() + "-journal"), the
  // file copied there (getAsidePath()) and the new database renamed over it.
  // True when the new database is in place (the log says how many rows it
  // kept). False, with the damaged file left in place for the next start,
  // when the new one cannot be written.
  bool rebuild() const;

  // Where the damaged file is kept for a person to look at: the path + ".damaged".
  std::string getAsidePath() const { return path_ + ".damaged"; }

 private:
  std::string path_;
};
