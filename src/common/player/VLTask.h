#ifndef VL_TASK_H
#define VL_TASK_H

// One unit of work that an audio-engine thread hands to the player through one
// of its entry points. The player owns a task from the moment it is queued and
// deletes it on the worker thread once its handler reports it done.
class VLTask
{
public:
    enum Type
    {
        Read = 0,
        Open = 1,
        Close = 2,
        Cancel = 3
    };

    virtual ~VLTask();

    int getType() const { return m_type; }
    bool isRead() const { return m_type == Read; }
    bool isOpen() const { return m_type == Open; }
    bool isClose() const { return m_type == Close; }
    bool isCancel() const { return m_type == Cancel; }

protected:
    explicit VLTask(int type);

private:
    int m_type;
};

#endif
