// A window the player page (or the loader or an error page) opens by script,
// for example a sign-in or sharing page: its own top-level window with one
// web view related to the opener's (same web process and session, so the
// page keeps its opener). The window takes the title of its page, is centred
// when the page asks to be shown, and closes when the page closes it by
// script. A pop-up opens no further pop-ups: links it opens in new windows
// load in it, scripts' new windows are refused.
//
// Ownership: the controller owns itself; it is freed when its window is
// destroyed (closed by the user or by the page).
//
// Threads: main thread only.
#pragma once

#include <webkit2/webkit2.h>

#include <cstddef>

class PopupWindowController {
 public:
  // Makes the window (hidden until its page is ready to show) with a view
  // related to `opener`; returns the controller, owned by itself.
  static PopupWindowController* create(WebKitWebView* opener);

  // The pop-up windows open now (made and not yet destroyed).
  static size_t openCount() { return openCount_; }

  GtkWindow* window() const { return window_; }
  WebKitWebView* popupWebView() const { return view_; }

 private:
  explicit PopupWindowController(WebKitWebView* opener);
  ~PopupWindowController();
  PopupWindowController(const PopupWindowController&) = delete;
  PopupWindowController& operator=(const PopupWindowController&) = delete;

  static void onTitle(GObject* view, GParamSpec*, gpointer self);
  static void onReadyToShow(WebKitWebView* view, gpointer self);
  static void onRunAsModal(WebKitWebView* view, gpointer self);
  static void onClose(WebKitWebView* view, gpointer self);
  static GtkWidget* onCreate(WebKitWebView* view, WebKitNavigationAction* action, gpointer self);
  static void onDestroy(GtkWidget* window, gpointer self);

  static size_t openCount_;

  GtkWindow* window_;
  WebKitWebView* view_;
};
