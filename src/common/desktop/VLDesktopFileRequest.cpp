#include "VLDesktopFileRequest.h"

VLDesktopFileRequest::VLDesktopFileRequest(const std::vector<std::string>& repositories, int fileFlags,
                                           unsigned int downloadState, bool countOnly, void* callback)
    : repositories_(repositories),
      fileFlags_(fileFlags),
      downloadState_(downloadState),
      callback_(callback),
      countOnly_(countOnly) {}

VLDesktopFileRequest::~VLDesktopFileRequest() {}
