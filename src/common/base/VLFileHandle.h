#ifndef VL_FILE_HANDLE_H
#define VL_FILE_HANDLE_H

#include "VLFileId.h"

class VLRepository;

// A repository (not owned) and a copy of a file id: the handle the audio engine's
// file callbacks carry for a stream served from a repository. No lock.
class VLFileHandle
{
public:
    VLFileHandle(VLRepository* repository, const VLFileId& fileId) : m_repository(repository), m_fileId(fileId) {}
    virtual ~VLFileHandle() {}

    VLRepository* getRepository() const { return m_repository; }
    // Valid while the handle lives.
    const VLFileId& getFileId() const { return m_fileId; }

    bool operator==(const VLFileHandle& other) const
    {
        return m_repository == other.m_repository && m_fileId == other.m_fileId;
    }
    bool operator!=(const VLFileHandle& other) const { return !(*this == other); }

private:
    VLRepository* m_repository;
    VLFileId m_fileId;
};

#endif
