#ifndef VL_MUTEX_H
#define VL_MUTEX_H

// A recursive lock: the holding thread may lock again and must unlock as many
// times. Made by VLPlatformFactory::createMutex; owned by the caller.
class VLMutex
{
public:
    virtual ~VLMutex() {}
    virtual void lock() = 0;
    virtual void unlock() = 0;
};

// Holds a VLMutex for the lifetime of a scope.
class VLMutexLocker
{
public:
    explicit VLMutexLocker(VLMutex* mutex) : m_mutex(mutex) { m_mutex->lock(); }
    ~VLMutexLocker() { m_mutex->unlock(); }
    VLMutexLocker(const VLMutexLocker&) = delete;
    VLMutexLocker& operator=(const VLMutexLocker&) = delete;

private:
    VLMutex* m_mutex;
};

#endif
