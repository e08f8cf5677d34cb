#include "TestRepositoryHandler.h"

#include <sstream>

#include "VLRepository.h"
#include "VLRepositoryFile.h"

int TestRepositoryHandler::count(const std::string& name, const std::string& subject) const {
  int found = 0;
  for (const Event& event : events_) {
    if (event.name == name && (subject.empty() || event.subject == subject)) ++found;
  }
  return found;
}

void TestRepositoryHandler::recordFile(const char* name, VLRepositoryFile* file) {
  std::ostringstream subject;
  subject << file->getFileId();
  events_.push_back(Event{name, subject.str()});
}

void TestRepositoryHandler::recordRepository(const char* name, VLRepository* repository) {
  events_.push_back(Event{name, repository->getName()});
}
