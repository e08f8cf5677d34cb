// The page's desktop notifications, published as "VeloraWebkitNotifications"
// (lower-case k). The page's "notifications" script completes it with the
// old-style web notifications interface (permission, which is always
// granted, and notification objects) in the page itself; only showing a
// notification comes here.
//
// Threads: main thread.
#pragma once

#include "PageObject.h"

class VeloraWebKitNotifications : public PageObject {
 public:
  VeloraWebKitNotifications();
};
