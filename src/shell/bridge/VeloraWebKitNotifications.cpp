#include "VeloraWebKitNotifications.h"

#include "NotificationSender.h"
#include "PageCall.h"

VeloraWebKitNotifications::VeloraWebKitNotifications() : PageObject("VeloraWebkitNotifications") {
  // show(icon, title, message) of a notification the page made.
  declare("show", "sss", [](PageCall& call) {
    NotificationSender::instance().show(call.argument(1).stringValue(), call.argument(2).stringValue(),
                                        call.argument(0).stringValue());
    return PageValue();
  });
}
