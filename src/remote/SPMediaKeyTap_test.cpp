#include "SPMediaKeyTap.h"

// GoogleTest before Xlib, whose macros (None, Bool) clash with its names.
#include <gtest/gtest.h>

#include <X11/XF86keysym.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "HIDRemoteFakes_test.h"
#include "SPX11ErrorTrap.h"
#include "SPX11FrontApplicationSource.h"
#include "SPX11MediaKeySource.h"

// The tests run on the display of scripts/in-display-session.
namespace {

// Whether a client can connect to the display named.
bool displayAnswers(const std::string& name) {
  Display* display = XOpenDisplay(name.c_str());
  if (display) XCloseDisplay(display);
  return display != nullptr;
}

// An X server of the test's own, which it may take away: its process id, with
// DISPLAY set to it; -1 when none starts. Two servers starting at once may
// pick one display number, and the later one then stops (before or after it
// names it): tried again.
pid_t startXvfb() {
  for (int attempt = 0; attempt < 5; ++attempt, usleep(100000 * attempt)) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      std::string fd = std::to_string(fds[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    char number[16] = {};
    ssize_t n = read(fds[0], number, sizeof number - 1);
    close(fds[0]);
    std::string name = ":" + std::string(number, n > 0 ? strcspn(number, "\n") : 0);
    if (n > 0 && displayAnswers(name)) {
      setenv("DISPLAY", name.c_str(), 1);
      return pid;
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  return -1;
}

void pressKeys(const std::string& keys) {
  ASSERT_EQ(std::system(("xdotool key " + keys).c_str()), 0);
}

int threadCount() {
  int count = 0;
  DIR* dir = opendir("/proc/self/task");
  while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
  closedir(dir);
  return count;
}

class SPMediaKeyTapTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { XInitThreads(); }
  void SetUp() override {
    display = XOpenDisplay(nullptr);
    ASSERT_TRUE(display) << "run under scripts/in-display-session";
  }
  void TearDown() override {
    if (display) XCloseDisplay(display);
  }

  // The tap over the X11 grabs alone, trying held keys again after retryMs.
  std::unique_ptr<SPMediaKeyTap> makeTap(unsigned retryMs = SPX11MediaKeySource::kDefaultRetryMilliseconds) {
    return std::make_unique<SPMediaKeyTap>(&delegate, reader, std::make_unique<SPX11MediaKeySource>(retryMs),
                                           std::make_unique<SPX11FrontApplicationSource>());
  }

  // Whether this other client could take the key: a grab that succeeds is released again.
  bool canGrab(KeySym keysym) {
    KeyCode code = XKeysymToKeycode(display, keysym);
    SPX11ErrorTrap trap(display);
    XGrabKey(display, code, AnyModifier, DefaultRootWindow(display), False, GrabModeAsync, GrabModeAsync);
    bool granted = trap.sync() == 0;
    if (granted) XUngrabKey(display, code, AnyModifier, DefaultRootWindow(display));
    trap.sync();
    return granted;
  }

  // A window of the given process and class brought to the front, as a window manager does.
  Window bringToFront(pid_t pid, const char* className) {
    Window w = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 10, 10, 0, 0, 0);
    unsigned long value = static_cast<unsigned long>(pid);
    XChangeProperty(display, w, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&value), 1);
    XClassHint hint{const_cast<char*>(className), const_cast<char*>(className)};
    XSetClassHint(display, w, &hint);
    bringToFront(w);
    return w;
  }
  void bringToFront(Window w) {
    unsigned long value = w;
    XChangeProperty(display, DefaultRootWindow(display), XInternAtom(display, "_NET_ACTIVE_WINDOW", False), XA_WINDOW,
                    32, PropModeReplace, reinterpret_cast<unsigned char*>(&value), 1);
    XSync(display, False);
  }

  Display* display = nullptr;
  SystemLogCapture log;
  RecordingMediaKeyDelegate delegate;
  SPMediaKeyPreferences preferences;
  SPMediaKeyTap::PreferenceReader reader = [this] { return preferences; };
};

TEST_F(SPMediaKeyTapTest, OnlyTheThreeKeysAreTakenBothWaysAndDeliveredOnTheMainThread) {
  auto tap = makeTap();
  ASSERT_TRUE(tap->startWatchingMediaKeys());
  EXPECT_TRUE(canGrab(XF86XK_AudioRaiseVolume)) << "volume keys are never taken";
  pressKeys("XF86AudioPlay XF86AudioNext XF86AudioPrev");
  ASSERT_TRUE(runUntil([&] { return delegate.events.size() >= 6; }));
  std::vector<ReceivedKey> expected = {{16, true}, {16, false}, {19, true}, {19, false}, {20, true}, {20, false}};
  EXPECT_EQ(delegate.events, expected);
  EXPECT_TRUE(delegate.onMainThread);
  tap->stopWatchingMediaKeys();
  EXPECT_TRUE(canGrab(XF86XK_AudioPlay)) << "given back on stop";
}

TEST_F(SPMediaKeyTapTest, HoldingAKeyDownIsOnePress) {
  auto tap = makeTap();
  ASSERT_TRUE(tap->startWatchingMediaKeys());
  // Held past the server's autorepeat delay: repeats must not look like presses.
  ASSERT_EQ(std::system("xdotool keydown XF86AudioPlay; sleep 1.5; xdotool keyup XF86AudioPlay"), 0);
  ASSERT_TRUE(runUntil([&] { return !delegate.events.empty() && !delegate.events.back().down; }));
  EXPECT_EQ(delegate.events, (std::vector<ReceivedKey>{{16, true}, {16, false}}));
}

TEST_F(SPMediaKeyTapTest, KeysAnotherClientHeldReachUsOnceItLetsThemGo) {
  auto tap = makeTap(50);
  ASSERT_TRUE(tap->startWatchingMediaKeys());
  tap->setShouldInterceptMediaKeyEvents(false);  // another player came to the front and grabs the keys
  ASSERT_TRUE(runUntil([&] { return tap->mediaKeySourceState() == SPMediaKeySource::kKeysGivenBack; }));
  KeyCode play = XKeysymToKeycode(display, XF86XK_AudioPlay);
  XGrabKey(display, play, AnyModifier, DefaultRootWindow(display), False, GrabModeAsync, GrabModeAsync);
  XSync(display, False);

  tap->setShouldInterceptMediaKeyEvents(true);  // we are in front again while it still holds them
  ASSERT_TRUE(runUntil([&] { return tap->mediaKeySourceState() == SPMediaKeySource::kKeysHeldElsewhere; }));
  EXPECT_TRUE(log.contains("Media keys are held by another application"));
  XUngrabKey(display, play, AnyModifier, DefaultRootWindow(display));
  XSync(display, False);
  ASSERT_TRUE(runUntil([&] { return tap->mediaKeySourceState() == SPMediaKeySource::kKeysTaken; }));
  pressKeys("XF86AudioPlay");
  ASSERT_TRUE(runUntil([&] { return delegate.events.size() >= 2; }));
}

TEST_F(SPMediaKeyTapTest, AVanishedServerMakesTheTapUnusableAndTheProcessGoesOn) {
  std::string sessionDisplay = getenv("DISPLAY");
  pid_t doomed = startXvfb();  // the tap and its front-window watch connect to it
  ASSERT_GT(doomed, 0);
  auto tap = makeTap();
  ASSERT_TRUE(tap->startWatchingMediaKeys());
  kill(doomed, SIGTERM);
  waitpid(doomed, nullptr, 0);
  ASSERT_TRUE(runUntil([&] { return tap->mediaKeySourceState() == SPMediaKeySource::kUnusable; }));
  EXPECT_TRUE(log.contains("Media keys unusable"));
  runMainLoopFor(200);  // the main thread's front-window connection finds it lost too
  tap->stopWatchingMediaKeys();
  setenv("DISPLAY", sessionDisplay.c_str(), 1);
}

TEST_F(SPMediaKeyTapTest, QuickRestartsLeaveExactlyOneTapThread) {
  auto tap = makeTap();
  ASSERT_TRUE(tap->startWatchingMediaKeys());  // helper threads of the libraries start lazily
  tap->stopWatchingMediaKeys();
  int before = threadCount();
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(tap->startWatchingMediaKeys());
    if (i % 2) tap->setShouldInterceptMediaKeyEvents(i % 4 == 1);
    tap->stopWatchingMediaKeys();
  }
  ASSERT_TRUE(tap->startWatchingMediaKeys());
  ASSERT_TRUE(tap->startWatchingMediaKeys()) << "a second start replaces the first";
  // At most: a helper thread of a library counted before may have ended
  // since; a thread left by each restart would show as many more.
  EXPECT_LE(threadCount(), before + 1);
  pressKeys("XF86AudioPlay");
  ASSERT_TRUE(runUntil([&] { return delegate.events.size() >= 2; }));
}

TEST_F(SPMediaKeyTapTest, InterceptionFollowsTheListedApplicationsComingToTheFront) {
  auto tap = makeTap();
  ASSERT_TRUE(tap->startWatchingMediaKeys());
  Window other = bringToFront(424242, "OtherPlayer");
  runMainLoopFor(200);
  EXPECT_TRUE(tap->shouldInterceptMediaKeyEvents()) << "without a list the keys stay ours";

  preferences = SPMediaKeyPreferences::fromStrings("", "OtherPlayer, velora-test");
  Window unlisted = bringToFront(12345, "TextEditor");
  bringToFront(other);
  ASSERT_TRUE(runUntil([&] { return !tap->shouldInterceptMediaKeyEvents(); }));
  ASSERT_TRUE(runUntil([&] { return canGrab(XF86XK_AudioPlay); })) << "the keys reach the other player";

  Window ours = bringToFront(getpid(), "velora-test");
  ASSERT_TRUE(runUntil([&] { return tap->shouldInterceptMediaKeyEvents(); }));
  ASSERT_TRUE(runUntil([&] { return !canGrab(XF86XK_AudioPlay); })) << "taken again";

  // The other player comes to the front again and then quits: with this
  // application next in the list, the keys come back here.
  bringToFront(other);
  ASSERT_TRUE(runUntil([&] { return !tap->shouldInterceptMediaKeyEvents(); }));
  XDestroyWindow(display, other);
  XSync(display, False);
  ASSERT_TRUE(runUntil([&] { return tap->shouldInterceptMediaKeyEvents(); }));
  XDestroyWindow(display, unlisted);
  XDestroyWindow(display, ours);
}

TEST(SPMediaKeyTapSwitchTest, OnlyAChangeOfTheSwitchReachesTheSource) {
  struct CountingSource : SPMediaKeySource {
    bool open(KeyHandler, StateHandler) override { return true; }
    void setEnabled(bool enabled) override {  // on the tap thread
      calls.push_back(enabled);
      count = calls.size();
    }
    void close() override {}
    std::vector<bool> calls;
    std::atomic<size_t> count{0};
  };
  auto* source = new CountingSource();
  SPMediaKeyTap tap(nullptr, nullptr, std::unique_ptr<SPMediaKeySource>(source), nullptr);
  ASSERT_TRUE(tap.startWatchingMediaKeys());
  for (bool value : {true, false, false, true}) tap.setShouldInterceptMediaKeyEvents(value);  // on at start
  gint64 guard = g_get_monotonic_time() + 10 * G_USEC_PER_SEC;
  while (source->count < 2 && g_get_monotonic_time() < guard) g_usleep(1000);
  tap.stopWatchingMediaKeys();  // joins the tap thread
  EXPECT_EQ(source->calls, (std::vector<bool>{false, true}));
}

TEST(SPMediaKeyPreferencesTest, ParsesTheStoredTexts) {
  auto p = SPMediaKeyPreferences::fromStrings(" TRUE ", "a, b\nc,,");
  EXPECT_TRUE(p.ignoreMediaKeys);
  EXPECT_EQ(p.applicationsNeedingMediaKeys, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_FALSE(SPMediaKeyPreferences::fromStrings("0", "").ignoreMediaKeys);
  EXPECT_FALSE(SPMediaKeyTap::usesGlobalMediaKeyTap(p)) << "the user turned it off";
}

}  // namespace
