// The two command-line options that clean up and end the process before the
// application starts: "--remove-folder" removes the application's data
// folder with everything in it; "--reset-preferences" removes eight
// preferences that nothing uses any more. Both may be given; the folder goes
// first. The process then ends, with status 1 when the folder could not be
// removed (a read-only home), else 0.
//
// Threads: main thread, before the application starts.
#pragma once

#include <string>
#include <vector>

class VLSettingHelper;

class CommandLineOptions {
 public:
  // The preferences "--reset-preferences" removes, in order.
  static const std::vector<std::string>& resetKeys();

  // Handles the options in the arguments; true when either was given (the
  // caller then ends the process with *status when given: 1 when the folder
  // could not be removed, said on standard error, else 0).
  static bool processCommandLineArguments(const std::vector<std::string>& arguments, VLSettingHelper& settings,
                                          int* status = nullptr);

  // Removes the folder and what it holds, without following symbolic links
  // out of it nor entering a disk mounted inside it; its lock file
  // (DataFolderLock) goes last, just before it. Refuses (false, logged) a
  // folder that is not the application's own: an empty or relative path, or
  // one not named "velora-desktop". True when the folder is gone (or never
  // was), or only a disk mounted inside it stays with the folders that lead
  // to it; false (logged) when something could not be removed (a read-only
  // home).
  static bool removeApplicationSupportDirectory(const std::string& folder);
  static void resetAllPreferences(VLSettingHelper& settings);
};
