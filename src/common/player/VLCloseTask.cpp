#include "VLCloseTask.h"

VLCloseTask::VLCloseTask(VLFileHandle* handle) : VLTask(Close), m_handle(handle)
{
}
