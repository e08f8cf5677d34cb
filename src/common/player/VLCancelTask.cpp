#include "VLCancelTask.h"

VLCancelTask::VLCancelTask(VLFileHandle* handle) : VLTask(Cancel), handle_(handle) {}
