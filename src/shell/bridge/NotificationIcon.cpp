#include "NotificationIcon.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <cstring>

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

// The loader of the raster formats covers come in, told by their first
// bytes; null for anything else. Every other format gdk-pixbuf reads is
// refused: a cover host can send any bytes, and its SVG loader (a renderer
// of filters) or the loaders of rarely used formats can take gigabytes,
// minutes or the whole process with a few kilobytes.
const char* coverFormat(const guchar* data, gsize length) {
  static const guchar kPng[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  static const guchar kJpeg[] = {0xFF, 0xD8, 0xFF};
  if (length >= sizeof kPng && memcmp(data, kPng, sizeof kPng) == 0) return "png";
  if (length >= sizeof kJpeg && memcmp(data, kJpeg, sizeof kJpeg) == 0) return "jpeg";
  return nullptr;
}

// The scans of a JPEG file, found as its decoder finds them: segments
// skipped by their length, each scan's coded data up to the next marker (a
// 0xFF followed by neither a stuffed 0x00 nor a restart marker), bytes
// between segments passed over. Counting stops past `most`.
size_t jpegScans(const guchar* data, gsize length, size_t most) {
  size_t scans = 0;
  gsize at = 2;  // after the start of the image
  while (at + 1 < length && scans <= most) {
    guchar marker = data[at + 1];
    if (data[at] != 0xFF || marker == 0xFF || marker == 0x00) {
      ++at;  // a fill byte, or bytes that are no marker
      continue;
    }
    if (marker == 0xD9) break;  // the end of the image
    at += 2;
    bool hasLength = marker != 0x01 && (marker < 0xD0 || marker > 0xD8);
    if (!hasLength || at + 1 >= length) continue;
    at += (static_cast<gsize>(data[at]) << 8) | data[at + 1];
    if (marker != 0xDA) continue;
    ++scans;
    while (at + 1 < length && !(data[at] == 0xFF && data[at + 1] != 0x00 && (data[at + 1] & 0xF8) != 0xD0)) ++at;
  }
  return scans;
}

std::string sizeText(const Declared& declared) {
  return std::to_string(declared.width) + " x " + std::to_string(declared.height);
}

}  // namespace

GdkPixbuf* NotificationIcon::decode(GBytes* bytes, std::string& reason) {
  gsize length = 0;
  const auto* data = static_cast<const guchar*>(g_bytes_get_data(bytes, &length));
  const char* format = coverFormat(data, length);
  if (format == nullptr) {
    reason = "not a PNG or JPEG image";
    return nullptr;
  }
  if (strcmp(format, "jpeg") == 0 && jpegScans(data, length, kMostJpegScans) > kMostJpegScans) {
    reason = "a JPEG image of more than " + std::to_string(kMostJpegScans) + " scans";
    return nullptr;
  }
  GError* error = nullptr;
  GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type(format, &error);
  if (loader == nullptr) {
    reason = error->message;
    g_error_free(error);
    return nullptr;
  }
  Declared declared;
  g_signal_connect(loader, "size-prepared", G_CALLBACK(onSizePrepared), &declared);
  bool written = gdk_pixbuf_loader_write(loader, data, length, &error);
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
