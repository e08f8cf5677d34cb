#include "TestImage.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

bool TestImage::write(const std::string& path, const std::string& type, int width, int height) {
  GdkPixbuf* image = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
  if (image == nullptr) return false;
  guchar* pixels = gdk_pixbuf_get_pixels(image);
  int stride = gdk_pixbuf_get_rowstride(image);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      guchar* pixel = pixels + static_cast<size_t>(y) * stride + static_cast<size_t>(x) * 3;
      pixel[0] = static_cast<guchar>(x * 255 / width);
      pixel[1] = static_cast<guchar>(y * 255 / height);
      pixel[2] = 128;
    }
  }
  bool written = gdk_pixbuf_save(image, path.c_str(), type.c_str(), nullptr, nullptr);
  g_object_unref(image);
  return written;
}

std::string TestImage::svg(int width, int height) {
  std::string w = std::to_string(width);
  std::string h = std::to_string(height);
  return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + w + "\" height=\"" + h + "\" viewBox=\"0 0 " + w + " " +
         h + "\"><rect width=\"" + w + "\" height=\"" + h + "\" fill=\"#3a6\"/></svg>\n";
}

std::string TestImage::svgWithLargeConvolution() {
  std::string kernel;
  for (int i = 0; i < 50 * 50; ++i) kernel += "1 ";
  return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"256\" height=\"256\"><filter id=\"f\">"
         "<feConvolveMatrix order=\"50\" kernelMatrix=\"" +
         kernel + "\"/></filter><rect width=\"256\" height=\"256\" fill=\"#3a6\" filter=\"url(#f)\"/></svg>\n";
}
