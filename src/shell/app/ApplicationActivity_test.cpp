// The application's activity as the desktop's focus makes it: our main
// window, our pop-up and another application's window in one display (the
// test's own, without a window manager: focus is given as one gives it), with
// the remote receiver and the desktop's media-key service as the application
// wires them.
#include "ApplicationActivity.h"

// GoogleTest before Xlib, whose macros (None, Bool) clash with its names.
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <unistd.h>

#include <X11/Xlib.h>
#include <gdk/gdkx.h>

#include "FakeSettingsDaemon_test.h"
#include "HIDRemote.h"
#include "HIDRemoteFakes_test.h"
#include "MediaKeys.h"
#include "ScratchHome.h"

namespace {

const char* const kProgramName = "velora-activity-test";

// A window of another application, focused as a click on it would.
class ForeignWindow {
 public:
  ForeignWindow() : display_(XOpenDisplay(nullptr)) {
    window_ = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 300, 300, 50, 50, 0, 0, 0);
    XMapWindow(display_, window_);
    XSync(display_, False);
  }
  ~ForeignWindow() {
    XDestroyWindow(display_, window_);
    XCloseDisplay(display_);
  }
  void focus() {
    XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
    XSync(display_, False);
  }

 private:
  Display* display_;
  Window window_;
};

class ApplicationActivityTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    g_set_prgname(kProgramName);
    gtk_init(nullptr, nullptr);
  }
  void SetUp() override { mainWindow = makeWindow("main"); }
  void TearDown() override {
    if (popup) gtk_widget_destroy(GTK_WIDGET(popup));
    gtk_widget_destroy(GTK_WIDGET(mainWindow));
    runMainLoopFor(50);
  }

  // A pop-up of the main window, made once the application runs.
  void openPopup() {
    popup = makeWindow("pop-up");
    gtk_window_set_transient_for(popup, mainWindow);
  }

  static GtkWindow* makeWindow(const char* title) {
    GtkWindow* window = GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL));
    gtk_window_set_title(window, title);
    gtk_window_set_default_size(window, 100, 100);
    return window;
  }
  // Shown and given the focus as a window manager gives it, until the window
  // says it is active. On GTK's own connection, after the window's map.
  static bool focus(GtkWindow* window) {
    gtk_widget_show(GTK_WIDGET(window));
    Display* display = gdk_x11_get_default_xdisplay();
    XSetInputFocus(display, gdk_x11_window_get_xid(gtk_widget_get_window(GTK_WIDGET(window))), RevertToParent,
                   CurrentTime);
    XFlush(display);
    return runUntil([window] { return gtk_window_is_active(window); });
  }
  static bool noWindowOfOursActive() {
    return runUntil([] {
      GList* windows = gtk_window_list_toplevels();
      bool none = true;
      for (GList* item = windows; item; item = item->next) none = none && !gtk_window_is_active(GTK_WINDOW(item->data));
      g_list_free(windows);
      return none;
    });
  }

  GtkWindow* mainWindow = nullptr;
  GtkWindow* popup = nullptr;
  ForeignWindow other;
};

TEST_F(ApplicationActivityTest, TheRemoteStaysSeizedAcrossOurWindowsAndIsReleasedForAnotherApplication) {
  ApplicationActivity activity;
  FakeDeviceLayer devices;
  FakeNotificationCenter center;
  HIDRemote remote(&devices, &center, getpid(), kProgramName);
  HIDRemoteService receiver;
  receiver.number = 1;
  receiver.driver = "appleir";
  devices.add(receiver, {KEY_VOLUMEUP, KEY_VOLUMEDOWN, KEY_BACK, KEY_FORWARD, KEY_ENTER, KEY_MENU, KEY_PLAYPAUSE});
  std::vector<bool> reported;
  activity.addActiveHandler([&](bool active) {
    reported.push_back(active);
    if (active) {
      remote.applicationDidBecomeActive();
    } else {
      remote.applicationWillResignActive();
    }
  });
  ASSERT_TRUE(focus(mainWindow));
  ASSERT_TRUE(remote.startRemoteControl(kHIDRemoteModeExclusiveAuto));
  ASSERT_TRUE(devices.devices[1].seized);

  // Our pop-up, then our main window again: the focus leaves one window of
  // ours before it enters the next; the application stays active.
  openPopup();
  ASSERT_TRUE(focus(popup));
  ASSERT_TRUE(focus(mainWindow));
  ASSERT_TRUE(focus(popup));
  runMainLoopFor(2 * ApplicationActivity::kResignDelayMs);
  EXPECT_TRUE(devices.devices[1].seized);
  EXPECT_EQ(remote.startedInMode(), kHIDRemoteModeExclusiveAuto);
  for (const auto& posted : center.posted) {
    auto action = posted.userInfo.find("Action");
    EXPECT_TRUE(action == posted.userInfo.end() || std::get<std::string>(action->second) != "stop");
  }

  other.focus();
  ASSERT_TRUE(runUntil([&] { return !devices.devices[1].seized; }));
  EXPECT_FALSE(remote.isStarted());
  ASSERT_TRUE(focus(popup));  // back to our application, through any of its windows
  ASSERT_TRUE(runUntil([&] { return devices.devices[1].seized; }));
  EXPECT_EQ(reported, (std::vector<bool>{true, false, true}));
  remote.stopRemoteControl();
}

TEST_F(ApplicationActivityTest, OurWindowBecomingActiveTakesTheKeysBackFromAnotherPlayer) {
  ScratchHome home("activity-test");  // the media-key preferences
  FakeSettingsDaemon daemon;
  ASSERT_TRUE(focus(mainWindow));
  ApplicationActivity activity;
  MediaKeys keys(&activity);
  ASSERT_TRUE(runUntil([&] { return daemon.holder() == kProgramName; }));

  // Another player, in front, takes the keys from the desktop's service.
  other.focus();
  ASSERT_TRUE(noWindowOfOursActive());
  FakeSettingsDaemon::grabFromAnotherClient("other-player");
  ASSERT_TRUE(runUntil([&] { return daemon.holder() == "other-player"; }));

  openPopup();
  ASSERT_TRUE(focus(popup));
  ASSERT_TRUE(runUntil([&] { return daemon.holder() == kProgramName; })) << "asked for again";
}

}  // namespace
