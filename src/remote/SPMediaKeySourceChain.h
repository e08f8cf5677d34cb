#pragma once

#include <memory>
#include <string>
#include <vector>

#include "SPMediaKeySource.h"

// The media-key sources of a desktop, tried in order. A source that routes
// the keys for the whole session (the desktop's own media-key service) is
// used alone when it opens; otherwise every later source that opens is used
// together: a player interface the desktop may route keys to, and key grabs
// for sessions where nobody routes them (a key the desktop routes is grabbed
// by the desktop, so no press arrives twice).
//
// The state reported is the best of the members': taken when any of them
// holds the keys.
class SPMediaKeySourceChain : public SPMediaKeySource {
 public:
  explicit SPMediaKeySourceChain(std::vector<std::unique_ptr<SPMediaKeySource>> sources);
  ~SPMediaKeySourceChain() override { close(); }

  // GNOME's settings daemon, then the MPRIS player interface, then the X11
  // grabs, for the application of that name.
  static std::unique_ptr<SPMediaKeySource> desktop(const std::string& applicationName);

  // False when no member opens.
  bool open(KeyHandler keys, StateHandler states) override;
  // The descriptor of the one member that has one (the X11 grabs).
  int fd() const override;
  void dispatch() override;
  void setEnabled(bool enabled) override;
  // Handed to every member, open or not.
  void setPlaybackStatus(PlaybackStatus status) override;
  void setPlaybackStatusReader(PlaybackStatusReader reader) override;
  void applicationCameToFront() override;
  void close() override;

 private:
  void memberStateChanged(size_t index, State state);

  std::vector<std::unique_ptr<SPMediaKeySource>> sources_;
  std::vector<SPMediaKeySource*> open_;
  std::vector<State> memberStates_;  // by index in sources_
  std::vector<bool> memberReported_;
  StateHandler states_;
  bool reported_ = false;
  State state_ = kKeysGivenBack;
};
