// The application's page scripts and pages, built into the program.
#pragma once

#include <string>

class PageScripts {
 public:
  // The text of a resource ("storage.js", "loader.html", ...); empty, after
  // a warning, when there is none.
  static std::string text(const std::string& name);
};
