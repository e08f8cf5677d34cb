#include "ShellStrings.h"

#include <map>

std::string ShellStrings::text(const std::string& key) {
  static const std::map<std::string, std::string> texts = {
      {"html.error.message.no_connection.first_time",
       "Velora cannot reach its service. Check your internet connection: Velora starts as soon as it is back."},
      {"html.error.message.maintenance", "Velora is down for maintenance. Please try again in a few minutes."},
      {"html.error.message.unavailable", "Velora is unavailable at the moment. Please try again later."},
      {"openuri.dialog.message", "Open a Velora address:"},
      {"openuri.error.dialog.title", "Cannot open this address"},
      {"openuri.error.dialog.message.format", "Velora cannot open \"%s\"."},
      {"dialog.button.label.ok", "OK"},
      {"dialog.button.label.cancel", "Cancel"},
      {"menu.contextual.beta_mode_on", "Switch to the beta player"},
      {"menu.contextual.beta_mode_off", "Switch back to the regular player"},
      {"dialog.message.beta_mode.title", "Beta player"},
      {"dialog.message.beta_mode_on.confirmation.message",
       "The beta player has new features that are still being tested. Use it from the next start?"},
      {"dialog.message.beta_mode_toggled.info.message", "The change takes effect the next time Velora starts."},
      {"Velora Desktop", "Velora Desktop"},
      {"menu.application", "Velora"},
      {"menu.open_address", "Open Velora address…"},
      {"menu.preferences", "Preferences…"},
      {"menu.quit", "Quit"},
      {"crashreport.dialog.title", "Velora quit unexpectedly"},
      {"crashreport.dialog.message",
       "Velora closed unexpectedly the last time it ran. Send a report of the problem, with Velora's logs, so that it can "
       "be fixed?"},
      {"crashreport.dialog.button.send", "Send report"},
      {"crashreport.dialog.button.dont_send", "Don't send"},
      {"update.dialog.title", "A new version of Velora is available"},
      {"update.dialog.message.format", "Velora %s is ready to download. Install it from the package when you wish."},
      {"update.dialog.button.download", "Download"},
      {"update.dialog.button.later", "Later"},
      {"shortcut.front.description", "Bring Velora to the front"},
  };
  auto found = texts.find(key);
  return found != texts.end() ? found->second : key;
}
