// The main window: the main web view, which shows the player page, and the
// preloading web view laid over it, which shows the loader and error pages
// until the player page has its objects.
//
// Threads: main thread only.
#pragma once

#include <webkit2/webkit2.h>

#include <cstdint>
#include <functional>
#include <string>

class MainWindow {
 public:
  // Told of every failed load of the main view (its address and error).
  using LoadFailedListener = std::function<void(const std::string& uri, const GError* error)>;

  // Makes the window and both views in the given context; not yet shown.
  explicit MainWindow(WebKitWebContext* context);
  ~MainWindow();
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // Where the web-process extension of this build lives: the folder "webext"
  // beside the executable.
  static std::string extensionsDirectory();
  // Makes every web process of the context load our extension with the
  // channel's address. Must run before the context's first web process starts.
  static void prepareContext(WebKitWebContext* context, const std::string& extensionsDirectory,
                             const std::string& channelAddress);

  GtkWindow* window() const { return window_; }
  WebKitWebView* mainView() const { return mainView_; }
  WebKitWebView* preloadingView() const { return preloadingView_; }
  // The window's content: the views, with room for a menu bar above them.
  GtkBox* content() const { return box_; }
  // The page id the main view's frames carry in the web process.
  uint64_t mainPageId() const { return webkit_web_view_get_page_id(mainView_); }

  void show();
  void setPreloadingViewVisible(bool visible);
  // Hides the preloading view and ends its web process, whose memory nothing
  // needs while the player page shows; a later error page starts another.
  void releasePreloadingView();
  bool isPreloadingViewVisible() const;
  void setLoadFailedListener(LoadFailedListener listener) { loadFailed_ = std::move(listener); }

 private:
  static gboolean onLoadFailed(WebKitWebView* view, WebKitLoadEvent event, gchar* uri, GError* error, gpointer self);

  GtkWindow* window_;
  WebKitWebView* mainView_;
  WebKitWebView* preloadingView_;
  GtkBox* box_;
  LoadFailedListener loadFailed_;
};
