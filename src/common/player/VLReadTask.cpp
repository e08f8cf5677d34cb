#include "VLReadTask.h"

VLReadTask::VLReadTask(VEReadRequest* request) : VLTask(Read), m_request(request)
{
}
