#include "VLReadTask.h"

VLReadTask::VLReadTask(VEReadRequest* request) : VLTask(Read), request_(request) {}
