#include "VLTask.h"

VLTask::VLTask(int type) : type_(type) {}

VLTask::~VLTask() {}
