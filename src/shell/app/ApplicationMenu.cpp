#include "ApplicationMenu.h"

#include <string>

#include "ShellStrings.h"

struct ApplicationMenu::Item {
  const char* action;
  const char* label;  // key of the text
  const char* accel;  // GTK accelerator
  std::function<void()> Actions::*callback;
};

ApplicationMenu::ApplicationMenu(GtkWindow* window, GtkBox* menuBarHolder, Actions actions)
    : callbacks_(std::move(actions)), window_(window), menu_(g_menu_new()), actions_(g_simple_action_group_new()) {
  static const Item items[] = {
      {"open-address", "menu.open_address", "<Control>l", &Actions::openAddress},
      {"preferences", "menu.preferences", "<Control>comma", &Actions::preferences},
      {"quit", "menu.quit", "<Control>q", &Actions::quit},
  };
  keys_ = gtk_accel_group_new();
  GtkAccelGroup* keys = keys_;
  GMenu* submenu = g_menu_new();
  GMenu* places = g_menu_new();
  GMenu* leave = g_menu_new();
  add(items[0], places, keys);
  add(items[1], places, keys);
  add(items[2], leave, keys);
  g_menu_append_section(submenu, nullptr, G_MENU_MODEL(places));
  g_menu_append_section(submenu, nullptr, G_MENU_MODEL(leave));
  g_menu_append_submenu(menu_, ShellStrings::text("menu.application").c_str(), G_MENU_MODEL(submenu));
  g_object_unref(places);
  g_object_unref(leave);
  g_object_unref(submenu);

  gtk_widget_insert_action_group(GTK_WIDGET(window), "win", G_ACTION_GROUP(actions_));
  gtk_window_add_accel_group(window, keys);
  GtkWidget* bar = gtk_menu_bar_new_from_model(G_MENU_MODEL(menu_));
  gtk_box_pack_start(menuBarHolder, bar, FALSE, FALSE, 0);
  gtk_box_reorder_child(menuBarHolder, bar, 0);
  gtk_widget_show_all(bar);
}

ApplicationMenu::~ApplicationMenu() {
  // The window may outlive this object: it loses the actions and their keys
  // (the menu bar's items then do nothing).
  gtk_widget_insert_action_group(GTK_WIDGET(window_), "win", nullptr);
  gtk_window_remove_accel_group(window_, keys_);
  g_object_unref(keys_);
  g_object_unref(actions_);
  g_object_unref(menu_);
}

void ApplicationMenu::add(const Item& item, GMenu* section, GtkAccelGroup* keys) {
  GSimpleAction* action = g_simple_action_new(item.action, nullptr);
  std::function<void()>* callback = &(callbacks_.*item.callback);
  g_signal_connect_swapped(action, "activate", G_CALLBACK(+[](std::function<void()>* call) {
                             if (*call) (*call)();
                           }),
                           callback);
  g_action_map_add_action(G_ACTION_MAP(actions_), G_ACTION(action));

  std::string detailed = std::string("win.") + item.action;
  GMenuItem* entry = g_menu_item_new(ShellStrings::text(item.label).c_str(), detailed.c_str());
  g_menu_item_set_attribute(entry, "accel", "s", item.accel);
  g_menu_append_item(section, entry);
  g_object_unref(entry);

  // The key, also where no GtkApplication maps accelerators to actions.
  guint key = 0;
  GdkModifierType modifiers = static_cast<GdkModifierType>(0);
  gtk_accelerator_parse(item.accel, &key, &modifiers);
  GClosure* closure = g_cclosure_new_swap(
      G_CALLBACK(+[](GAction* target) {
        g_action_activate(target, nullptr);
        return TRUE;
      }),
      g_object_ref(action), reinterpret_cast<GClosureNotify>(+[](gpointer data, GClosure*) { g_object_unref(data); }));
  gtk_accel_group_connect(keys, key, modifiers, GTK_ACCEL_VISIBLE, closure);
  g_object_unref(action);
}
