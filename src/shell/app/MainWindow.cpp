#include "MainWindow.h"

#include <unistd.h>

#include <climits>

MainWindow::MainWindow(WebKitWebContext* context) {
  window_ = GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL));
  g_object_ref_sink(window_);
  gtk_window_set_default_size(window_, 1024, 700);
  gtk_window_set_title(window_, "Velora");
  mainView_ = WEBKIT_WEB_VIEW(g_object_ref_sink(webkit_web_view_new_with_context(context)));
  preloadingView_ = WEBKIT_WEB_VIEW(g_object_ref_sink(webkit_web_view_new_with_context(context)));
  GtkWidget* overlay = gtk_overlay_new();
  gtk_container_add(GTK_CONTAINER(overlay), GTK_WIDGET(mainView_));
  gtk_overlay_add_overlay(GTK_OVERLAY(overlay), GTK_WIDGET(preloadingView_));
  // The menu bar goes above the views.
  box_ = GTK_BOX(gtk_box_new(GTK_ORIENTATION_VERTICAL, 0));
  gtk_box_pack_end(box_, overlay, TRUE, TRUE, 0);
  gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(box_));
  g_signal_connect(mainView_, "load-failed", G_CALLBACK(onLoadFailed), this);
}

MainWindow::~MainWindow() {
  g_signal_handlers_disconnect_by_data(mainView_, this);
  gtk_widget_destroy(GTK_WIDGET(window_));
  g_object_unref(preloadingView_);
  g_object_unref(mainView_);
  g_object_unref(window_);
}

std::string MainWindow::extensionsDirectory() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return "webext";
  path[length] = '\0';
  gchar* folder = g_path_get_dirname(path);
  std::string directory = std::string(folder) + "/webext";
  g_free(folder);
  return directory;
}

void MainWindow::prepareContext(WebKitWebContext* context, const std::string& extensionsDirectory,
                                const std::string& channelAddress) {
  webkit_web_context_set_web_extensions_directory(context, extensionsDirectory.c_str());
  webkit_web_context_set_web_extensions_initialization_user_data(context, g_variant_new_string(channelAddress.c_str()));
}

void MainWindow::show() {
  gtk_widget_show_all(GTK_WIDGET(window_));
}

void MainWindow::setPreloadingViewVisible(bool visible) {
  gtk_widget_set_visible(GTK_WIDGET(preloadingView_), visible);
}

void MainWindow::releasePreloadingView() {
  setPreloadingViewVisible(false);
  webkit_web_view_terminate_web_process(preloadingView_);
}

bool MainWindow::isPreloadingViewVisible() const {
  return gtk_widget_get_visible(GTK_WIDGET(preloadingView_));
}

// WebKit's own error page would be loaded as an alternative document at the
// failing address. It is never shown in the main view, where documents of the
// player's origin get the page objects (WebKit gives it an opaque origin, which
// the publisher refuses too; this does not rely on that). What to show
// instead is up to the listener: the preloading view shows our error pages.
gboolean MainWindow::onLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error, gpointer data) {
  auto* self = static_cast<MainWindow*>(data);
  if (self->loadFailed_) self->loadFailed_(uri != nullptr ? uri : "", error);
  return TRUE;
}
