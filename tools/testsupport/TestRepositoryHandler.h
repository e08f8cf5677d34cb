#pragma once

#include <map>
#include <string>
#include <vector>

#include "VLRepositoryHandler.h"

class VLRepository;
class VLRepositoryFile;

// A repository handler that records every report: the event name and, for
// file events, the file's entity id and format id as "entity_format".
class TestRepositoryHandler : public VLRepositoryHandler {
 public:
  struct Event {
    std::string name;
    std::string subject;
  };

  void onFilesAdded(VLRepositoryFile* file) override { recordFile("onFilesAdded", file); }
  void onFilesRemoved(VLRepositoryFile* file) override { recordFile("onFilesRemoved", file); }
  void onFileProgressesChanged(VLRepositoryFile* file) override { recordFile("onFileProgressesChanged", file); }
  void onDownloadStatesChanged(VLRepositoryFile* file) override { recordFile("onDownloadStatesChanged", file); }
  void onFileStatesChanged(VLRepositoryFile* file) override { recordFile("onFileStatesChanged", file); }
  void onVolumeFull(VLRepository* repository) override { recordRepository("onVolumeFull", repository); }
  void onUnwritable(VLRepository* repository) override { recordRepository("onUnwritable", repository); }

  // How many reports of that name (for that subject, when given) came.
  int count(const std::string& name, const std::string& subject = std::string()) const;
  const std::vector<Event>& events() const { return events_; }
  void clear() { events_.clear(); }

 private:
  void recordFile(const char* name, VLRepositoryFile* file);
  void recordRepository(const char* name, VLRepository* repository);

  std::vector<Event> events_;
};
