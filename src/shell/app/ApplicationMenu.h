// The main window's menu: "Open Velora address…" (Control-L), "Preferences…"
// (Control-comma) and "Quit" (Control-Q). Each item is an action of the
// window ("win.open-address", "win.preferences", "win.quit") whose key works
// with or without a GtkApplication (an accelerator group of the window); the
// menu bar is built from the model and packed above the window's views.
//
// Threads: main thread only.
#pragma once

#include <gtk/gtk.h>

#include <functional>

class ApplicationMenu {
 public:
  struct Actions {
    std::function<void()> openAddress;
    std::function<void()> preferences;
    std::function<void()> quit;
  };

  // Adds the actions, keys and menu bar to the window (which must outlive
  // this object; the menu bar goes first into menuBarHolder).
  ApplicationMenu(GtkWindow* window, GtkBox* menuBarHolder, Actions actions);
  ~ApplicationMenu();
  ApplicationMenu(const ApplicationMenu&) = delete;
  ApplicationMenu& operator=(const ApplicationMenu&) = delete;

  // The menu's model: one submenu holding the three items, each with its
  // "action" and "accel" attributes.
  GMenuModel* model() const { return G_MENU_MODEL(menu_); }
  GActionGroup* actions() const { return G_ACTION_GROUP(actions_); }

 private:
  struct Item;
  void add(const Item& item, GMenu* section, GtkAccelGroup* keys);

  Actions callbacks_;
  GtkWindow* window_;
  GtkAccelGroup* keys_ = nullptr;
  GMenu* menu_ = nullptr;
  GSimpleActionGroup* actions_ = nullptr;
};
