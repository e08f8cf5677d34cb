#include "ShellStrings.h"

#include <glib.h>
#include <libintl.h>
#include <unistd.h>

#include <climits>
#include <memory>
#include <mutex>

#include "MessageCatalogue.h"
#include "ShellTrace.h"

#ifndef VELORA_LOCALE_DIR
#define VELORA_LOCALE_DIR "/usr/share/locale"
#endif

namespace {

constexpr const char* kBaseLanguage = "en";

struct Catalogues {
  std::mutex mutex;
  std::string folder;  // empty until the first lookup
  MessageCatalogue english;
};

Catalogues& catalogues() {
  static Catalogues* shared = new Catalogues();
  return *shared;
}

// "locale" beside the program when it is there, else the build's folder.
std::string defaultFolder() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length > 0) {
    path[length] = '\0';
    gchar* program = g_path_get_dirname(path);
    std::string beside = std::string(program) + "/locale";
    g_free(program);
    if (g_file_test(beside.c_str(), G_FILE_TEST_IS_DIR)) return beside;
  }
  return VELORA_LOCALE_DIR;
}

// With the mutex held.
void openCatalogues(Catalogues& shared, const std::string& folder) {
  shared.folder = folder;
  bindtextdomain(ShellStrings::kTextDomain, folder.c_str());
  // Texts go to GTK and WebKit, which take UTF-8 whatever the locale.
  bind_textdomain_codeset(ShellStrings::kTextDomain, "UTF-8");
  std::string english = folder + "/" + kBaseLanguage + "/LC_MESSAGES/" + ShellStrings::kTextDomain + ".mo";
  if (!shared.english.load(english)) {
    shellTrace("ShellStrings::text", "cannot read the English texts " + english + ": keys show in their place");
  }
}

}  // namespace

std::string ShellStrings::text(const std::string& key) {
  if (key.empty()) return key;  // gettext would give the catalogue's header
  Catalogues& shared = catalogues();
  std::lock_guard<std::mutex> lock(shared.mutex);
  if (shared.folder.empty()) openCatalogues(shared, defaultFolder());
  const char* translated = dgettext(kTextDomain, key.c_str());
  // gettext hands the key itself back when the user's language lacks it.
  if (translated != key.c_str()) return translated;
  const std::string* english = shared.english.find(key);
  return english != nullptr ? *english : key;
}

std::string ShellStrings::formatted(const std::string& key, const std::string& argument) {
  std::string format = text(key);
  std::string::size_type place = format.find("%s");
  return place == std::string::npos ? format : format.substr(0, place) + argument + format.substr(place + 2);
}

std::string ShellStrings::catalogueFolder() {
  Catalogues& shared = catalogues();
  std::lock_guard<std::mutex> lock(shared.mutex);
  if (shared.folder.empty()) openCatalogues(shared, defaultFolder());
  return shared.folder;
}

void ShellStrings::setCatalogueFolder(const std::string& folder) {
  Catalogues& shared = catalogues();
  std::lock_guard<std::mutex> lock(shared.mutex);
  openCatalogues(shared, folder);
}
