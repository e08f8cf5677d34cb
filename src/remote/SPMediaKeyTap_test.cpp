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
#include <string>
#include <thread>

#include "SPX11ErrorTrap.h"
#include "SPX11FrontApplicationSource.h"
#include "SPX11MediaKeySource.h"
#include "SystemLog.h"

namespace {

// A private X server for the test process, on a display number it picks.
class Xvfb {
 public:
  // Two servers starting at once may both pick one display number, and the
  // later one then stops at its lock file: such a start is tried again.
  bool start() {
    for (int attempt = 0; attempt < 5; ++attempt) {
      if (startOnce()) return true;
      usleep(100000 * (attempt + 1) + (getpid() % 7) * 10000);
    }
    return false;
  }
  bool startOnce() {
    int fds[2];
    if (pipe(fds) != 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      std::string fd = std::to_string(fds[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "640x480x24", "-nolisten", "tcp", "-noreset",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    char buffer[16] = {};
    ssize_t n = read(fds[0], buffer, sizeof buffer - 1);
    close(fds[0]);
    if (n <= 0) {  // the server ended before it took a display
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
      return false;
    }
    display_ = ":" + std::string(buffer, strcspn(buffer, "\n"));
    setenv("DISPLAY", display_.c_str(), 1);
    Display* probe = XOpenDisplay(nullptr);  // it may still have lost the number to another
    if (!probe) {
      stop();
      return false;
    }
    XCloseDisplay(probe);
    return true;
  }
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  ~Xvfb() { stop(); }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

Xvfb* server = nullptr;

std::vector<std::string> logLines;

void captureLog(const gchar*, GLogLevelFlags, const gchar* message, gpointer) { logLines.push_back(message); }

struct Received {
  int code;
  bool down;
  bool operator==(const Received& o) const { return code == o.code && down == o.down; }
};

class RecordingDelegate : public SPMediaKeyTapDelegate {
 public:
  void mediaKeyTapReceivedMediaKeyEvent(SPMediaKeyTap*, const SPMediaKeyEvent& event) override {
    events.push_back({event.keyCode(), event.isKeyDown()});
    onMainThread = onMainThread && std::this_thread::get_id() == mainThread;
  }
  std::vector<Received> events;
  std::thread::id mainThread = std::this_thread::get_id();
  bool onMainThread = true;
};

template <typename Done>
bool runUntil(Done done) {
  gint64 guard = g_get_monotonic_time() + 10 * G_USEC_PER_SEC;
  while (!done() && g_get_monotonic_time() < guard) {
    while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
    g_usleep(2000);
  }
  return done();
}

void pressKeys(const std::string& keys) {
  std::string command = "xdotool key " + keys;
  ASSERT_EQ(std::system(command.c_str()), 0);
}

// Lets the main context handle what has arrived; for checks that nothing changes.
void settle() {
  gint64 end = g_get_monotonic_time() + 200 * 1000;
  while (g_get_monotonic_time() < end) {
    while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
    g_usleep(2000);
  }
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
  static void SetUpTestSuite() {
    XInitThreads();
    server = new Xvfb();
    if (!server->start()) {
      delete server;
      server = nullptr;
    }
  }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }
  void SetUp() override {
    logLines.clear();
    logHandler = g_log_set_handler(kSystemLogDomain, G_LOG_LEVEL_MASK, captureLog, nullptr);
    if (!server) GTEST_SKIP() << "Xvfb could not start here";
    display = XOpenDisplay(nullptr);
    ASSERT_TRUE(display) << "cannot open " << getenv("DISPLAY");
  }
  void TearDown() override {
    if (display) XCloseDisplay(display);
    g_log_remove_handler(kSystemLogDomain, logHandler);
  }

  // The tap over the X11 grabs alone, trying held keys again after retryMs.
  std::unique_ptr<SPMediaKeyTap> makeTap(unsigned retryMs = SPX11MediaKeySource::kDefaultRetryMilliseconds) {
    return std::make_unique<SPMediaKeyTap>(&delegate, reader, std::make_unique<SPX11MediaKeySource>(retryMs),
                                           std::make_unique<SPX11FrontApplicationSource>());
  }
  bool logged(const std::string& text) const {
    for (const std::string& line : logLines)
      if (line.find(text) != std::string::npos) return true;
    return false;
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

  Window makeFrontWindow(pid_t pid, const char* className) {
    Window w = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 10, 10, 0, 0, 0);
    unsigned long value = static_cast<unsigned long>(pid);
    XChangeProperty(display, w, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&value), 1);
    XClassHint hint{const_cast<char*>(className), const_cast<char*>(className)};
    XSetClassHint(display, w, &hint);
    XSync(display, False);
    return w;
  }
  void bringToFront(Window w) {
    unsigned long value = w;
    XChangeProperty(display, DefaultRootWindow(display), XInternAtom(display, "_NET_ACTIVE_WINDOW", False), XA_WINDOW,
                    32, PropModeReplace, reinterpret_cast<unsigned char*>(&value), 1);
    XSync(display, False);
  }

  Display* display = nullptr;
  guint logHandler = 0;
  RecordingDelegate delegate;
  SPMediaKeyPreferences preferences;
  SPMediaKeyTap::PreferenceReader reader = [this] { return preferences; };
};

TEST_F(SPMediaKeyTapTest, PlayNextAndPreviousAreTakenBothWaysAndDeliveredOnTheMainThread) {
  auto tap = makeTap();
  ASSERT_TRUE(tap->startWatchingMediaKeys());
  pressKeys("XF86AudioPlay XF86AudioNext XF86AudioPrev");
  ASSERT_TRUE(runUntil([&] { return delegate.events.size() >= 6; }));
  std::vector<Received> expected = {{16, true}, {16, false}, {19, true}, {19, false}, {20, true}, {20, false}};
  EXPECT_EQ(delegate.events, expected);
  EXPECT_TRUE(delegate.onMainThread);
}

TEST_F(SPMediaKeyTapTest, OnlyTheThreeKeysAreHeldAndOnlyWhileWatching) {
  auto tap = makeTap();
  ASSERT_TRUE(tap->startWatchingMediaKeys());
  EXPECT_FALSE(canGrab(XF86XK_AudioPlay)) << "held by the tap";
  EXPECT_FALSE(canGrab(XF86XK_AudioNext));
  EXPECT_TRUE(canGrab(XF86XK_AudioRaiseVolume)) << "volume keys are never taken";
  EXPECT_TRUE(canGrab(XF86XK_AudioLowerVolume));
  tap->stopWatchingMediaKeys();
  EXPECT_TRUE(canGrab(XF86XK_AudioPlay)) << "given back on stop";
}

TEST_F(SPMediaKeyTapTest, HoldingAKeyDownIsOnePress) {
  auto tap = makeTap();
  ASSERT_TRUE(tap->startWatchingMediaKeys());
  // Held past the server's autorepeat delay: repeats must not look like presses.
  ASSERT_EQ(std::system("xdotool keydown XF86AudioPlay; sleep 1.5; xdotool keyup XF86AudioPlay"), 0);
  ASSERT_TRUE(runUntil([&] { return !delegate.events.empty() && !delegate.events.back().down; }));
  EXPECT_EQ(delegate.events, (std::vector<Received>{{16, true}, {16, false}}));
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
  EXPECT_TRUE(logged("Media keys are held by another application"));
  XUngrabKey(display, play, AnyModifier, DefaultRootWindow(display));
  XSync(display, False);
  ASSERT_TRUE(runUntil([&] { return tap->mediaKeySourceState() == SPMediaKeySource::kKeysTaken; }));
  pressKeys("XF86AudioPlay");
  ASSERT_TRUE(runUntil([&] { return delegate.events.size() >= 2; }));
}

TEST_F(SPMediaKeyTapTest, AVanishedServerMakesTheTapUnusableAndTheProcessGoesOn) {
  std::string suiteDisplay = getenv("DISPLAY");
  Xvfb doomed;
  ASSERT_TRUE(doomed.start());  // the tap and its front-window watch connect to it
  auto tap = makeTap();
  ASSERT_TRUE(tap->startWatchingMediaKeys());
  doomed.stop();
  ASSERT_TRUE(runUntil([&] { return tap->mediaKeySourceState() == SPMediaKeySource::kUnusable; }));
  EXPECT_TRUE(logged("Media keys unusable"));
  settle();  // the main thread's front-window connection finds it lost too
  tap->stopWatchingMediaKeys();
  setenv("DISPLAY", suiteDisplay.c_str(), 1);
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
  EXPECT_EQ(threadCount(), before + 1);
  pressKeys("XF86AudioPlay");
  ASSERT_TRUE(runUntil([&] { return delegate.events.size() >= 2; }));
}

TEST_F(SPMediaKeyTapTest, InterceptionFollowsTheListedApplicationsComingToTheFront) {
  preferences = SPMediaKeyPreferences::fromStrings("", "OtherPlayer, velora-test");
  auto tap = makeTap();
  ASSERT_TRUE(tap->startWatchingMediaKeys());

  Window unlisted = makeFrontWindow(12345, "TextEditor");
  bringToFront(unlisted);
  Window other = makeFrontWindow(424242, "OtherPlayer");
  bringToFront(other);
  ASSERT_TRUE(runUntil([&] { return !tap->shouldInterceptMediaKeyEvents(); }));
  ASSERT_TRUE(runUntil([&] { return canGrab(XF86XK_AudioPlay); })) << "the keys reach the other player";

  Window ours = makeFrontWindow(getpid(), "velora-test");
  bringToFront(ours);
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

TEST_F(SPMediaKeyTapTest, WithoutAListInterceptionStaysOn) {
  auto tap = makeTap();
  ASSERT_TRUE(tap->startWatchingMediaKeys());
  Window other = makeFrontWindow(424242, "OtherPlayer");
  bringToFront(other);
  settle();
  EXPECT_TRUE(tap->shouldInterceptMediaKeyEvents());
  XDestroyWindow(display, other);
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
