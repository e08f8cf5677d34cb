#include "PopupWindowController.h"

#include "ShellTrace.h"

PopupWindowController* PopupWindowController::create(WebKitWebView* opener) {
  return new PopupWindowController(opener);
}

size_t PopupWindowController::openCount_ = 0;

PopupWindowController::PopupWindowController(WebKitWebView* opener) {
  ++openCount_;
  window_ = GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL));
  gtk_window_set_default_size(window_, 800, 600);
  view_ = WEBKIT_WEB_VIEW(webkit_web_view_new_with_related_view(opener));
  gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(view_));
  GtkWidget* top = gtk_widget_get_toplevel(GTK_WIDGET(opener));
  if (GTK_IS_WINDOW(top)) gtk_window_set_transient_for(window_, GTK_WINDOW(top));
  g_signal_connect(view_, "notify::title", G_CALLBACK(onTitle), this);
  g_signal_connect(view_, "ready-to-show", G_CALLBACK(onReadyToShow), this);
  g_signal_connect(view_, "run-as-modal", G_CALLBACK(onRunAsModal), this);
  g_signal_connect(view_, "close", G_CALLBACK(onClose), this);
  g_signal_connect(view_, "create", G_CALLBACK(onCreate), this);
  g_signal_connect(window_, "destroy", G_CALLBACK(onDestroy), this);
}

PopupWindowController::~PopupWindowController() {
  --openCount_;
}

void PopupWindowController::onTitle(GObject* view, GParamSpec*, gpointer data) {
  auto* self = static_cast<PopupWindowController*>(data);
  const char* title = webkit_web_view_get_title(WEBKIT_WEB_VIEW(view));
  gtk_window_set_title(self->window_, title != nullptr ? title : "");
}

void PopupWindowController::onReadyToShow(WebKitWebView*, gpointer data) {
  auto* self = static_cast<PopupWindowController*>(data);
  gtk_window_set_position(self->window_, GTK_WIN_POS_CENTER);
  gtk_widget_show_all(GTK_WIDGET(self->window_));
}

void PopupWindowController::onRunAsModal(WebKitWebView*, gpointer data) {
  gtk_window_set_modal(static_cast<PopupWindowController*>(data)->window_, TRUE);
}

// The page closed its window by script.
void PopupWindowController::onClose(WebKitWebView*, gpointer data) {
  gtk_widget_destroy(GTK_WIDGET(static_cast<PopupWindowController*>(data)->window_));
}

GtkWidget* PopupWindowController::onCreate(WebKitWebView* view, WebKitNavigationAction* action, gpointer) {
  WebKitURIRequest* request = webkit_navigation_action_get_request(action);
  const char* uri = request != nullptr ? webkit_uri_request_get_uri(request) : nullptr;
  if (webkit_navigation_action_get_navigation_type(action) == WEBKIT_NAVIGATION_TYPE_LINK_CLICKED && uri != nullptr) {
    webkit_web_view_load_uri(view, uri);
  } else {
    shellTrace("PopupWindowController::onCreate",
               std::string("no window from a pop-up: ") + (uri != nullptr ? uri : ""));
  }
  return nullptr;
}

void PopupWindowController::onDestroy(GtkWidget*, gpointer data) {
  auto* self = static_cast<PopupWindowController*>(data);
  // The closing view calls nothing back.
  g_signal_handlers_disconnect_by_data(self->view_, self);
  delete self;
}
