#include "TestImage.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cstdlib>

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

bool TestImage::writeProgressiveJpeg(const std::string& path, int width, int height, bool grey, size_t scans) {
  std::string size = std::to_string(width) + "x" + std::to_string(height);
  std::string image = grey ? "xc:gray50 -colorspace Gray" : "gradient:red-blue";
  if (system(("convert -size " + size + " " + image + " -interlace Plane '" + path + "'").c_str()) != 0) return false;
  gchar* data = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(path.c_str(), &data, &length, nullptr)) return false;
  // Coded data never holds 0xFF 0xDA (a 0xFF in it is followed by 0x00), and
  // the file ends with the end-of-image marker.
  std::string file(data, length);
  g_free(data);
  const std::string startOfScan = "\xFF\xDA";
  size_t written = 0;
  for (size_t at = file.find(startOfScan); at != std::string::npos; at = file.find(startOfScan, at + 1)) ++written;
  if (scans == 0 || scans == written) return true;
  if (scans < written || file.size() < 2) return false;
  size_t last = file.rfind(startOfScan);
  std::string scan = file.substr(last, file.size() - 2 - last);
  std::string repeated = file.substr(0, file.size() - 2);
  repeated.reserve(repeated.size() + (scans - written) * scan.size() + 2);
  for (size_t i = written; i < scans; ++i) repeated += scan;
  repeated += "\xFF\xD9";
  return g_file_set_contents(path.c_str(), repeated.data(), static_cast<gssize>(repeated.size()), nullptr);
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
