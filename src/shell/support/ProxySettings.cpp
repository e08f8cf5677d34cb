#include "ProxySettings.h"

#include <string>
#include <vector>

#include "ExternalProgram.h"
#include "ShellStrings.h"
#include "VLLogger.h"

namespace {

const char* const kProxySchema = "org.gnome.system.proxy";
const char* const kHttpProxySchema = "org.gnome.system.proxy.http";

struct SettingsProgram {
  const char* desktop;  // a name of XDG_CURRENT_DESKTOP
  const char* program;
  const char* argument;
};

// Each desktop's proxy settings, newest program first.
const SettingsProgram kSettingsPrograms[] = {
    {"GNOME", "gnome-control-center", "network"},  // the proxy is part of the network panel
    {"KDE", "kcmshell6", "kcm_proxy"},
    {"KDE", "systemsettings", "kcm_proxy"},
    {"KDE", "kcmshell5", "proxy"},
    {"KDE", "systemsettings5", "proxy"},
};

bool sessionRuns(const char* desktop) {
  const char* current = g_getenv("XDG_CURRENT_DESKTOP");
  if (current == nullptr) return false;
  gchar** names = g_strsplit(current, ":", -1);
  bool found = false;
  for (gchar** name = names; *name != nullptr && !found; ++name) found = g_ascii_strcasecmp(*name, desktop) == 0;
  g_strfreev(names);
  return found;
}

// GSettings of an installed schema; null when it is not installed
// (g_settings_new would end the process).
GSettings* settingsOf(const char* schemaId) {
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();
  GSettingsSchema* schema = source != nullptr ? g_settings_schema_source_lookup(source, schemaId, TRUE) : nullptr;
  if (schema == nullptr) return nullptr;
  GSettings* settings = g_settings_new_full(schema, nullptr, nullptr);
  g_settings_schema_unref(schema);
  return settings;
}

GtkWidget* label(const char* key) {
  GtkWidget* widget = gtk_label_new(ShellStrings::text(key).c_str());
  gtk_widget_set_halign(widget, GTK_ALIGN_END);
  return widget;
}

struct OwnDialog {
  GSettings* proxy;
  GSettings* http;
  GtkComboBoxText* mode;
  GtkEntry* host;
  GtkSpinButton* port;
};

void updateSensitivity(OwnDialog* dialog) {
  bool manual = g_strcmp0(gtk_combo_box_get_active_id(GTK_COMBO_BOX(dialog->mode)), "manual") == 0;
  gtk_widget_set_sensitive(GTK_WIDGET(dialog->host), manual);
  gtk_widget_set_sensitive(GTK_WIDGET(dialog->port), manual);
}

void save(OwnDialog* dialog) {
  const char* mode = gtk_combo_box_get_active_id(GTK_COMBO_BOX(dialog->mode));
  if (mode == nullptr) return;
  // The host and port first: the mode switches to them.
  g_settings_set_string(dialog->http, "host", gtk_entry_get_text(dialog->host));
  g_settings_set_int(dialog->http, "port", gtk_spin_button_get_value_as_int(dialog->port));
  g_settings_set_string(dialog->proxy, "mode", mode);
  g_settings_sync();
}

}  // namespace

GPid ProxySettings::program_ = 0;
GtkWidget* ProxySettings::dialog_ = nullptr;

ProxySettings::Shown ProxySettings::open(GtkWindow* parent) {
  if (isOpen()) {
    VL_LOG_INFO("ProxySettings::open the proxy settings are open already");
    if (dialog_ != nullptr) gtk_window_present(GTK_WINDOW(dialog_));
    return Shown::kAlreadyOpen;
  }
  if (openDesktopSettings()) return Shown::kDesktopSettings;
  GSettings* proxy = settingsOf(kProxySchema);
  GSettings* http = proxy != nullptr ? settingsOf(kHttpProxySchema) : nullptr;
  if (http == nullptr) {
    if (proxy != nullptr) g_object_unref(proxy);
    VL_LOG_WARN(
        "ProxySettings::open no proxy settings to open: neither a desktop's settings program nor GNOME's proxy "
        "settings are installed; the proxy comes from http_proxy");
    return Shown::kNothing;
  }
  showOwnDialog(parent, proxy, http);
  return Shown::kOwnDialog;
}

bool ProxySettings::openDesktopSettings() {
  for (const SettingsProgram& candidate : kSettingsPrograms) {
    if (!sessionRuns(candidate.desktop)) continue;
    gchar* path = g_find_program_in_path(candidate.program);
    if (path == nullptr) continue;
    std::string error;
    bool started = ExternalProgram::start({path, candidate.argument}, &program_, error);
    if (started) {
      g_child_watch_add(
          program_,
          [](GPid program, gint, gpointer) {
            g_spawn_close_pid(program);
            program_ = 0;
          },
          nullptr);
    } else {
      VL_LOG_WARN(std::string("ProxySettings::open cannot start ") + path + ": " + error);
    }
    g_free(path);
    if (started) return true;
  }
  return false;
}

void ProxySettings::showOwnDialog(GtkWindow* parent, GSettings* proxy, GSettings* http) {
  GtkWidget* window =
      gtk_dialog_new_with_buttons(ShellStrings::text("proxy.dialog.title").c_str(), parent,
                                  GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
                                  ShellStrings::text("dialog.button.label.cancel").c_str(), GTK_RESPONSE_CANCEL,
                                  ShellStrings::text("dialog.button.label.ok").c_str(), GTK_RESPONSE_OK, nullptr);
  gtk_dialog_set_default_response(GTK_DIALOG(window), GTK_RESPONSE_OK);
  dialog_ = window;
  g_signal_connect(window, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer) { dialog_ = nullptr; }), nullptr);
  auto* dialog = new OwnDialog{proxy, http, GTK_COMBO_BOX_TEXT(gtk_combo_box_text_new()), GTK_ENTRY(gtk_entry_new()),
                               GTK_SPIN_BUTTON(gtk_spin_button_new_with_range(0, 65535, 1))};
  for (const char* mode : {"none", "manual", "auto"}) {
    gtk_combo_box_text_append(dialog->mode, mode, ShellStrings::text(std::string("proxy.dialog.mode.") + mode).c_str());
  }
  gchar* mode = g_settings_get_string(proxy, "mode");
  if (!gtk_combo_box_set_active_id(GTK_COMBO_BOX(dialog->mode), mode)) {
    gtk_combo_box_set_active_id(GTK_COMBO_BOX(dialog->mode), "none");
  }
  g_free(mode);
  gchar* host = g_settings_get_string(http, "host");
  gtk_entry_set_text(dialog->host, host);
  g_free(host);
  gtk_entry_set_activates_default(dialog->host, TRUE);
  gtk_spin_button_set_value(dialog->port, g_settings_get_int(http, "port"));
  updateSensitivity(dialog);
  g_signal_connect_swapped(dialog->mode, "changed", G_CALLBACK(updateSensitivity), dialog);

  GtkWidget* grid = gtk_grid_new();
  gtk_grid_set_row_spacing(GTK_GRID(grid), 6);
  gtk_grid_set_column_spacing(GTK_GRID(grid), 12);
  gtk_container_set_border_width(GTK_CONTAINER(grid), 12);
  gtk_grid_attach(GTK_GRID(grid), label("proxy.dialog.mode.label"), 0, 0, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), GTK_WIDGET(dialog->mode), 1, 0, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), label("proxy.dialog.host.label"), 0, 1, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), GTK_WIDGET(dialog->host), 1, 1, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), label("proxy.dialog.port.label"), 0, 2, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), GTK_WIDGET(dialog->port), 1, 2, 1, 1);
  gtk_container_add(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(window))), grid);

  g_signal_connect_data(
      window, "response", G_CALLBACK(+[](GtkDialog* window, int response, gpointer data) {
        if (response == GTK_RESPONSE_OK) save(static_cast<OwnDialog*>(data));
        gtk_widget_destroy(GTK_WIDGET(window));
      }),
      dialog,
      [](gpointer data, GClosure*) {
        auto* dialog = static_cast<OwnDialog*>(data);
        g_object_unref(dialog->proxy);
        g_object_unref(dialog->http);
        delete dialog;
      },
      GConnectFlags(0));
  gtk_widget_show_all(window);
}
