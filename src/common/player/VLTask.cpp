#include "VLTask.h"

VLTask::VLTask(int type) : m_type(type)
{
}

VLTask::~VLTask()
{
}
