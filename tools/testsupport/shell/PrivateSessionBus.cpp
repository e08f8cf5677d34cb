#include "PrivateSessionBus.h"

#include <gio/gio.h>
#include <glib/gstdio.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

PrivateSessionBus::PrivateSessionBus(size_t maxMessageBytes) {
  gchar* folder = g_dir_make_tmp("private-bus-XXXXXX", nullptr);
  if (folder == nullptr) return;
  folder_ = folder;
  g_free(folder);
  std::string config = folder_ + "/bus.conf";
  std::string text =
      "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
      " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
      "<busconfig><type>session</type><listen>unix:dir=" +
      folder_ +
      "</listen>"
      "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
      "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
      "<limit name=\"max_message_size\">" +
      std::to_string(maxMessageBytes) + "</limit></busconfig>\n";
  if (!g_file_set_contents(config.c_str(), text.c_str(), -1, nullptr)) return;
  std::string configArgument = "--config-file=" + config;
  const char* argv[] = {"dbus-daemon", configArgument.c_str(), "--nofork", "--print-address=1", nullptr};
  gint output = -1;
  GError* error = nullptr;
  if (!g_spawn_async_with_pipes(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr,
                                &pid_, nullptr, &output, nullptr, &error)) {
    g_printerr("private bus: %s\n", error->message);
    g_error_free(error);
    pid_ = 0;
    return;
  }
  // The daemon prints its address once it listens.
  GIOChannel* channel = g_io_channel_unix_new(output);
  g_io_channel_set_close_on_unref(channel, TRUE);
  gchar* line = nullptr;
  if (g_io_channel_read_line(channel, &line, nullptr, nullptr, nullptr) == G_IO_STATUS_NORMAL && line != nullptr) {
    address_ = g_strstrip(line);
  }
  g_free(line);
  g_io_channel_unref(channel);
}

PrivateSessionBus::~PrivateSessionBus() {
  if (pid_ != 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    g_spawn_close_pid(pid_);
  }
  if (!folder_.empty()) {
    GDir* dir = g_dir_open(folder_.c_str(), 0, nullptr);
    for (const char* name; dir != nullptr && (name = g_dir_read_name(dir)) != nullptr;) {
      g_unlink((folder_ + "/" + name).c_str());
    }
    if (dir != nullptr) g_dir_close(dir);
    g_rmdir(folder_.c_str());
  }
}
