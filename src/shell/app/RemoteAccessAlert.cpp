#include "RemoteAccessAlert.h"

#include "ExternalProgram.h"
#include "PageScripts.h"
#include "ShellStrings.h"
#include "VLPlatformFactory.h"
#include "VLSettingHelper.h"
#include "VeloraController.h"

namespace {

constexpr const char* kHelpPage = "remote-access.html";

void openWithDesktop(GtkWindow* parent, const std::string& address) {
  std::string error;
  if (!ExternalProgram::openAddress(parent, address, error)) {
    VeloraController::instance().logWarning("RemoteAccessAlert::run cannot open " + address + ": " + error);
  }
}

}  // namespace

RemoteAccessAlert::Answer RemoteAccessAlert::run(GtkWindow* parent, const Opener& opener) {
  GtkWidget* alert = gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING, GTK_BUTTONS_NONE, "%s",
                                            ShellStrings::text("candelair.install.needed.dialog.message").c_str());
  gtk_message_dialog_format_secondary_text(
      GTK_MESSAGE_DIALOG(alert), "%s",
      ShellStrings::formatted("candelair.install.needed.dialog.informativetext", ShellStrings::text("Velora Desktop"))
          .c_str());
  gtk_dialog_add_button(GTK_DIALOG(alert),
                        ShellStrings::text("candelair.install.needed.dialog.button.label.cancel").c_str(),
                        GTK_RESPONSE_CANCEL);
  gtk_dialog_add_button(GTK_DIALOG(alert),
                        ShellStrings::text("candelair.install.needed.dialog.button.label.moreinfo").c_str(),
                        GTK_RESPONSE_HELP);
  gtk_dialog_add_button(GTK_DIALOG(alert),
                        ShellStrings::text("candelair.install.needed.dialog.button.label.download").c_str(),
                        GTK_RESPONSE_ACCEPT);
  gtk_dialog_set_default_response(GTK_DIALOG(alert), GTK_RESPONSE_ACCEPT);
  int response = gtk_dialog_run(GTK_DIALOG(alert));
  gtk_widget_destroy(alert);
  Answer answer = response == GTK_RESPONSE_ACCEPT ? Answer::kSetUp
                  : response == GTK_RESPONSE_HELP ? Answer::kMoreInformation
                                                  : Answer::kCancel;
  if (answer == Answer::kCancel) return answer;
  std::string folder =
      VLPlatformFactory::instance()->getSettingHelper()->getAndCreateLocalPath(VLSettingHelper::LOCAL_FOLDER_CACHE);
  std::string address = helpAddress(answer, folder);
  if (address.empty()) return answer;
  if (opener) {
    opener(address);
  } else {
    openWithDesktop(parent, address);
  }
  return answer;
}

std::string RemoteAccessAlert::helpAddress(Answer answer, const std::string& folder) {
  if (answer == Answer::kCancel || folder.empty()) return "";
  std::string path = folder + "/" + kHelpPage;
  std::string page = PageScripts::text(kHelpPage);
  GError* error = nullptr;
  if (page.empty() || !g_file_set_contents(path.c_str(), page.data(), static_cast<gssize>(page.size()), &error)) {
    VeloraController::instance().logWarning("RemoteAccessAlert::helpAddress cannot write " + path + ": " +
                                            (error != nullptr ? error->message : "no page"));
    if (error != nullptr) g_error_free(error);
    return "";
  }
  gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
  std::string address =
      std::string(uri != nullptr ? uri : "") + (answer == Answer::kSetUp ? "#set-up" : "#more-information");
  g_free(uri);
  return address;
}
