// A notification's icon, made from the bytes of an image file at the size a
// notification shows: at most kLargestSide pixels a side. Only the formats
// covers come in are decoded, PNG and JPEG, told by their first bytes and
// decoded by their own loader; any other bytes (an SVG among them) are
// refused. The decoder is asked for that size as soon as the image declares
// its own, so that JPEG decodes straight to it; PNG decodes whole and is
// scaled down at once. An image that declares more than
// kLargestDeclaredPixels is refused before any decoding: a small file can
// declare an image of gigabytes (a well-compressed PNG). So is a JPEG of
// more than kMostJpegScans scans: a progressive JPEG is decoded anew over
// the whole image at each of its scans, and a scan can take a few bytes.
//
// Threads: any; nothing is kept between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

typedef struct _GBytes GBytes;
typedef struct _GdkPixbuf GdkPixbuf;

class NotificationIcon {
 public:
  NotificationIcon() = delete;

  // Far above what any notification shows, far below what a desktop's bus
  // carries in one message (a 256 x 256 image is 256 KiB).
  static constexpr int kLargestSide = 256;
  // A 5,000 x 5,000 cover: what a PNG of that size costs while it decodes
  // (100 MB) is the most one icon may take, and only one decodes at a time.
  static constexpr int64_t kLargestDeclaredPixels = 25000000;
  // Ten times what encoders write: libjpeg's progressive JPEG has 10 scans
  // (6 in grey). A file of 1 MiB can hold 20,000 of a few bytes, each of
  // which costs a pass over up to kLargestDeclaredPixels (tens of
  // milliseconds): minutes for one icon, and every notification behind it
  // waits. A hundred cost a second or two at that size.
  static constexpr size_t kMostJpegScans = 100;

  // The image, scaled to fit kLargestSide with its proportions kept; a new
  // reference. Null, with why in `reason`, when the bytes are no PNG or JPEG
  // image, the image declares a size that is empty or above
  // kLargestDeclaredPixels, or a JPEG has more than kMostJpegScans scans.
  static GdkPixbuf* decode(GBytes* bytes, std::string& reason);
};
