#pragma once

// Test support for the player and audio tests: a private home for preferences,
// folders and the log; repository files filled with chosen bytes; shell
// commands (audio fixtures come from AudioFixtures.h). Header-only; not used
// by the core.

#include "AudioFixtures.h"
#include "VLAudioInterface.h"
#include "VLFileId.h"
#include "VLPlayer.h"
#include "VLSound.h"
#include "VLPlatformFactory.h"
#include "VLRepository.h"
#include "VLRepositoryFile.h"
#include "VLSettingHelper.h"
#include "TestFolder.h"
#include "VLTestLog.h"

#include <cstdlib>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

class VLPlaybackTestSupport {
 public:
  // Points HOME and the XDG folders into one private folder and turns the log
  // on there. Call first in every test (before the platform factory is used);
  // later calls do nothing.
  static void start() {
    static bool started = false;
    if (started) return;
    started = true;
    static TestFolder home;
    setenv("HOME", home.path().c_str(), 1);
    for (const char* sub : {"/config", "/cache", "/data"}) mkdir((home.path() + sub).c_str(), 0755);
    setenv("XDG_CONFIG_HOME", (home.path() + "/config").c_str(), 1);
    setenv("XDG_CACHE_HOME", (home.path() + "/cache").c_str(), 1);
    setenv("XDG_DATA_HOME", (home.path() + "/data").c_str(), 1);
    unsetenv("http_proxy");
    unsetenv("HTTP_PROXY");
    unsetenv("ALL_PROXY");
    unsetenv("all_proxy");
    setenv("NO_PROXY", "127.0.0.1", 1);
    VLTestLog::start();
  }

  static VLSettingHelper* settings() { return VLPlatformFactory::instance()->getSettingHelper(); }

  // A fresh identity per test, so that preferences and repository rows of one
  // test never meet another's.
  static std::string newIdentity(const std::string& stem) {
    static int serial = 0;
    return stem + "-" + std::to_string(++serial) + "-" + std::to_string(getpid());
  }

  // Sends every repository of an identity into its own folder below root.
  static void placeRepositories(const std::string& identity, const std::string& root) {
    for (const char* sub : {"/cache", "/import", "/download"}) mkdir((root + sub).c_str(), 0755);
    settings()->setValue(identity, "CachePath", root + "/cache");
    settings()->setValue(identity, "ImportPath", root + "/import");
    settings()->setValue(identity, "DownloadPath", root + "/download");
  }

  // Stores content as the whole of a repository file: the file ends complete.
  static bool storeFile(VLRepository* repository, const VLFileId& id, const std::string& content) {
    VLRepositoryFile* file = repository->getFile(id, true);
    if (!file || !file->open(0)) return false;
    size_t done = 0;
    bool ok = file->setContent(content.size(), "") &&
              (content.empty() || file->write(content.data(), 0, content.size(), &done));
    ok = ok && done == content.size();
    file->refreshLoaded();
    // Freshly validated: a stored copy plays without asking the network.
    file->touchValidation();
    return file->close(0) && ok;
  }

  // Stores the first `present` bytes of content (whole blocks) in a file of
  // content's size: the rest counts as missing.
  static bool storePart(VLRepository* repository, const VLFileId& id, const std::string& content, size_t present) {
    VLRepositoryFile* file = repository->getFile(id, true);
    if (!file || !file->open(0)) return false;
    size_t done = 0;
    bool ok = file->setContent(content.size(), "") && (present == 0 || file->write(content.data(), 0, present, &done));
    file->refreshLoaded();
    return file->close(0) && ok;
  }

  static std::string bytes(size_t size, unsigned seed) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>((i * 7 + seed * 31 + (i >> 9)) & 0xFF);
    return text;
  }

  // Runs a shell command; true when it exits with 0.
  static bool run(const std::string& command) { return vetest::runQuietly(command) == 0; }

  static std::string readFile(const std::string& path) { return TestFolder::read(path); }
};

// A session of the process-wide player (the engine's open callback reaches
// the player through VLPlayer::instance), by default on the non-real-time WAV
// writer, with the test thread as the worker: every pass is one
// VLPlayer::update, as the worker loop makes it.
class VLPlaybackSession {
 public:
  // wavFile: where the WAV writer outputs write; empty for a file in the
  // session's folder.
  explicit VLPlaybackSession(const std::string& output = "6:0", int streamBufferKb = 64,
                             const std::string& wavFile = std::string()) {
    VLPlaybackTestSupport::start();
    identity = VLPlaybackTestSupport::newIdentity("playback");
    VLPlaybackTestSupport::placeRepositories(identity, folder.path());
    wavPath = wavFile.empty() ? folder.path() + "/out.wav" : wavFile;
    setenv("VELORA_ENGINE_WAV_PATH", wavPath.c_str(), 1);
    VLPlaybackTestSupport::settings()->setValue(identity, "OutputDevice", output);
    VLPlaybackTestSupport::settings()->setIntValue(identity, "StreamBufferSizeKb", streamBufferKb);
    player()->init(nullptr, nullptr, identity);
  }
  ~VLPlaybackSession() { close(); }

  static VLPlayer* player() { return VLPlayer::instance(); }
  VLAudioInterface* audio() { return player()->getAudioInterface(); }
  VLRepository* repository(const char* name) { return player()->getRepository(name); }

  VLSound* sound(int id) {
    VLSound* found = nullptr;
    return audio() && audio()->getSound(id, &found) ? found : nullptr;
  }

  // One pass of the worker, then a short sleep so that the engine's threads
  // (and the open callbacks polling for their answer) get to run.
  void pass() {
    player()->update();
    VLPlatformFactory::instance()->sleep(1);
  }

  // Passes until cond holds; false when it still does not after maxPasses
  // (a guard against hangs, not a timing assertion).
  bool runUntil(const std::function<bool()>& cond, int maxPasses = 30000) {
    for (int i = 0; i < maxPasses; ++i) {
      if (cond()) return true;
      pass();
    }
    return cond();
  }

  void close() {
    if (!closed) player()->clean();
    closed = true;
  }

  TestFolder folder;
  std::string identity;
  std::string wavPath;
  bool closed = false;
};
