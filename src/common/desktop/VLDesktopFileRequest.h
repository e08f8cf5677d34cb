#ifndef VL_DESKTOP_FILE_REQUEST_H
#define VL_DESKTOP_FILE_REQUEST_H

#include <string>
#include <vector>

// One queued page query for files (getFiles, or getFileCount when countOnly):
// the repositories to search in order, the file-flag mask a file must have in
// full (0 = any), the download-state mask of which a file must have one bit
// (0 = any), and the page callback that receives the answer. The callback is an
// opaque reference held by the bridge; the request never releases it.
// Immutable; made on the main thread and answered on the worker thread.
class VLDesktopFileRequest
{
public:
    VLDesktopFileRequest(const std::vector<std::string>& repositories, int fileFlags, unsigned int downloadState,
                         bool countOnly, void* callback);
    virtual ~VLDesktopFileRequest();

    const std::vector<std::string>& getRepositories() const { return m_repositories; }
    int getFileFlags() const { return m_fileFlags; }
    unsigned int getDownloadState() const { return m_downloadState; }
    void* getCallback() const { return m_callback; }
    bool isCountOnly() const { return m_countOnly; }

private:
    std::vector<std::string> m_repositories;
    int m_fileFlags;
    unsigned int m_downloadState;
    void* m_callback;
    bool m_countOnly;
};

#endif
