#include "VLCancelTask.h"

VLCancelTask::VLCancelTask(VLFileHandle* handle) : VLTask(Cancel), m_handle(handle)
{
}
