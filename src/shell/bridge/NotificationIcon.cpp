#include "NotificationIcon.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>

namespace {

struct Declared {
  int width = 0;
  int height = 0;
  bool refused = false;
};

// The size that fits kLargestSide with the image's proportions, at least 1.
void fittedSize(int width, int height, int* fittedWidth, int* fittedHeight) {
  const int side = NotificationIcon::kLargestSide;
  if (width <= side && height <= side) {
    *fittedWidth = width;
    *fittedHeight = height;
    return;
  }
  double scale = std::min(static_cast<double>(side) / width, static_cast<double>(side) / height);
  *fittedWidth = std::max(1, std::min(side, static_cast<int>(width * scale + 0.5)));
  *fittedHeight = std::max(1, std::min(side, static_cast<int>(height * scale + 0.5)));
}

// The image has read its header: the size to decode at, or, for a size out
// of bounds, 0 x 0, which makes every gdk-pixbuf decoder stop there.
void onSizePrepared(GdkPixbufLoader* loader, int width, int height, gpointer data) {
  auto* declared = static_cast<Declared*>(data);
  declared->width = width;
  declared->height = height;
  if (width <= 0 || height <= 0 || static_cast<int64_t>(width) * height > NotificationIcon::kLargestDeclaredPixels) {
    declared->refused = true;
    gdk_pixbuf_loader_set_size(loader, 0, 0);
    return;
  }
  int fittedWidth = 0;
  int fittedHeight = 0;
  fittedSize(width, height, &fittedWidth, &fittedHeight);
  if (fittedWidth != width || fittedHeight != height) gdk_pixbuf_loader_set_size(loader, fittedWidth, fittedHeight);
}

std::string sizeText(const Declared& declared) {
  return std::to_string(declared.width) + " x " + std::to_string(declared.height);
}

}  // namespace

GdkPixbuf* NotificationIcon::decode(GBytes* bytes, std::string& reason) {
  gsize length = 0;
  const auto* data = static_cast<const guchar*>(g_bytes_get_data(bytes, &length));
  Declared declared;
  GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
  g_signal_connect(loader, "size-prepared", G_CALLBACK(onSizePrepared), &declared);
  GError* error = nullptr;
  bool written = length > 0 && gdk_pixbuf_loader_write(loader, data, length, &error);
  // Closed in every case: a loader left open complains when it is freed.
  bool closed = gdk_pixbuf_loader_close(loader, written ? &error : nullptr);
  GdkPixbuf* image = written && closed && !declared.refused ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
  if (image != nullptr) g_object_ref(image);
  if (declared.refused) {
    reason = "an image of " + sizeText(declared) + " pixels";
  } else if (image == nullptr) {
    reason = error != nullptr ? error->message : "no image";
  }
  if (error != nullptr) g_error_free(error);
  g_object_unref(loader);
  if (image == nullptr) return nullptr;
  // A decoder that ignored the size asked for has decoded the whole image.
  int width = gdk_pixbuf_get_width(image);
  int height = gdk_pixbuf_get_height(image);
  int fittedWidth = 0;
  int fittedHeight = 0;
  fittedSize(width, height, &fittedWidth, &fittedHeight);
  if (fittedWidth == width && fittedHeight == height) return image;
  GdkPixbuf* fitted = gdk_pixbuf_scale_simple(image, fittedWidth, fittedHeight, GDK_INTERP_BILINEAR);
  g_object_unref(image);
  if (fitted == nullptr)
    reason = "no memory to scale an image of " + std::to_string(width) + " x " + std::to_string(height) + " pixels";
  return fitted;
}
