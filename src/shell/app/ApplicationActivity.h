// Whether this application is the active one on the desktop: it is while any
// of its windows is (the main window, a pop-up, the folder chooser, an alert),
// as the window system reports each window's focus (on X11 and Wayland
// alike). Every toplevel GTK window of the process counts, also those made
// after the watch began.
//
// Becoming active is reported at once; resigning only once no window of ours
// has been active for a short moment, so that moving between our own windows
// (whose focus leaves one before it enters the next) reports nothing.
// Separately, each window of ours that becomes active is reported.
//
// Threads: main thread. One watch at a time per process.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <map>

class ApplicationActivity {
 public:
  using ActiveHandler = std::function<void(bool active)>;
  using WindowHandler = std::function<void()>;

  // How long no window of ours must be active before the application resigns.
  static constexpr unsigned kResignDelayMs = 250;

  explicit ApplicationActivity(unsigned resignDelayMs = kResignDelayMs);
  ~ApplicationActivity();
  ApplicationActivity(const ApplicationActivity&) = delete;
  ApplicationActivity& operator=(const ApplicationActivity&) = delete;

  // Handlers, called in the order added; each returns an id for remove.
  unsigned addActiveHandler(ActiveHandler handler);
  unsigned addWindowActivatedHandler(WindowHandler handler);
  void removeHandler(unsigned id);

  bool isActive() const { return active_; }

 private:
  static gboolean windowMappedOrUnmapped(GSignalInvocationHint* hint, guint count, const GValue* values, gpointer self);
  static void windowActiveChanged(GObject* window, GParamSpec*, gpointer self);
  static bool anyWindowActive();
  void follow(GtkWindow* window);
  void scheduleResignCheck();
  void resignUnlessActive();
  void setActive(bool active);

  unsigned resignDelayMs_;
  bool active_;
  guint mapSignal_, unmapSignal_;
  gulong mapHook_ = 0, unmapHook_ = 0;
  guint resignTimer_ = 0;
  unsigned nextId_ = 0;
  std::map<unsigned, ActiveHandler> activeHandlers_;
  std::map<unsigned, WindowHandler> windowHandlers_;
};
