// The entry point WebKit calls when it loads our extension into a web process.
#include <webkit2/webkit-web-extension.h>

#include "PageExtension.h"
#include "SavedPageRedirect.h"

extern "C" G_MODULE_EXPORT void webkit_web_extension_initialize_with_user_data(WebKitWebExtension* extension,
                                                                               const GVariant* data) {
  SavedPageRedirect::install(extension);
  GVariant* address = const_cast<GVariant*>(data);
  if (address == nullptr || !g_variant_is_of_type(address, G_VARIANT_TYPE_STRING)) {
    g_warning("page objects disabled: no channel address was given");
    return;
  }
  // Lives as long as the web process.
  static auto* pageExtension = new PageExtension(extension, g_variant_get_string(address, nullptr));
  pageExtension->start();
}
