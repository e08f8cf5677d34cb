// The front key (Control-Alt-Super-q) through the desktop portal's global
// shortcuts, for desktops where an application cannot grab keys itself
// (Wayland). Creates a portal session, binds the shortcut "front" with that
// preferred trigger, and calls front with the activation's time on each
// activation. When the desktop has no such portal, the portal or the user
// refuses, or the shortcut is not bound within kAnswerSeconds (a portal that
// never answers), unavailable is called once with the reason. A binding that
// comes after the time-out still counts. The destructor closes the session.
//
// Threads: main thread; the portal's answers arrive on the main loop.
#pragma once

#include <gio/gio.h>

#include <functional>
#include <string>

class GlobalShortcutsPortal {
 public:
  static constexpr const char* kShortcutId = "front";
  static constexpr const char* kTrigger = "CTRL+ALT+LOGO+q";
  // Long enough for a desktop that asks the user to confirm the shortcut.
  static constexpr guint kAnswerSeconds = 10;

  GlobalShortcutsPortal(std::function<void(guint32 time)> front, std::function<void(const std::string&)> unavailable);
  ~GlobalShortcutsPortal();
  GlobalShortcutsPortal(const GlobalShortcutsPortal&) = delete;
  GlobalShortcutsPortal& operator=(const GlobalShortcutsPortal&) = delete;

  // Whether the shortcut is bound.
  bool isBound() const { return bound_; }

 private:
  using Answer = void (GlobalShortcutsPortal::*)(guint32 response, GVariant* results);
  void request(const char* method, GVariant* parameters, const std::string& token, Answer answer);
  void sessionCreated(guint32 response, GVariant* results);
  void shortcutsBound(guint32 response, GVariant* results);
  void fail(const std::string& reason);
  static gboolean onAnswerTimeOut(gpointer self);
  static void onResponse(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
                         gpointer self);
  static void onActivated(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                          GVariant* parameters, gpointer self);

  std::function<void(guint32)> front_;
  std::function<void(const std::string&)> unavailable_;
  GDBusConnection* bus_ = nullptr;
  GCancellable* cancel_ = nullptr;
  std::string session_;
  guint responseSubscription_ = 0;
  guint activatedSubscription_ = 0;
  guint answerTimeOut_ = 0;
  Answer pending_ = nullptr;
  bool bound_ = false;
  bool failed_ = false;
};
