// The baseline of the start-up benchmark: the least a program needs to show
// a page, one GTK window with one WebKitGTK view. Prints "loaded" on standard
// output when the page has loaded, then waits to be ended. An optional script
// file runs in the page's main frame before the page's own scripts.
#include <webkit2/webkit2.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s ADDRESS [SCRIPT-FILE]\n", argv[0]);
    return 2;
  }
  gtk_init(&argc, &argv);
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(window), 1024, 700);
  GtkWidget* view = webkit_web_view_new();
  gchar* script = nullptr;
  if (argc > 2 && !g_file_get_contents(argv[2], &script, nullptr, nullptr)) {
    fprintf(stderr, "cannot read %s\n", argv[2]);
    return 1;
  }
  if (script != nullptr) {
    WebKitUserContentManager* content = webkit_web_view_get_user_content_manager(WEBKIT_WEB_VIEW(view));
    WebKitUserScript* user = webkit_user_script_new(script, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                                    WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(content, user);
    webkit_user_script_unref(user);
    g_free(script);
  }
  gtk_container_add(GTK_CONTAINER(window), view);
  g_signal_connect(view, "load-changed", G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer) {
                     if (event != WEBKIT_LOAD_FINISHED) return;
                     printf("loaded\n");
                     fflush(stdout);
                   }),
                   nullptr);
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
  webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), argv[1]);
  gtk_widget_show_all(window);
  gtk_main();
  return 0;
}
