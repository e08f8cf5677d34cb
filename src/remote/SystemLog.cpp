#include "SystemLog.h"

#include <glib.h>

const char* const kSystemLogDomain = "velora";

void writeSystemLog(const std::string& method, const std::string& message) {
  g_log(kSystemLogDomain, G_LOG_LEVEL_MESSAGE, "%s %s", method.c_str(), message.c_str());
}
