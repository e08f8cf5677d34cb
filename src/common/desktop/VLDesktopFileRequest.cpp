#include "VLDesktopFileRequest.h"

VLDesktopFileRequest::VLDesktopFileRequest(const std::vector<std::string>& repositories, int fileFlags,
                                           unsigned int downloadState, bool countOnly, void* callback)
    : m_repositories(repositories)
    , m_fileFlags(fileFlags)
    , m_downloadState(downloadState)
    , m_callback(callback)
    , m_countOnly(countOnly)
{
}

VLDesktopFileRequest::~VLDesktopFileRequest()
{
}
