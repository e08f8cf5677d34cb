#include "VLCloseTask.h"

VLCloseTask::VLCloseTask(VLFileHandle* handle) : VLTask(Close), handle_(handle) {}
