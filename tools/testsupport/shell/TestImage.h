// Image files of a given size for the shell's tests, made with gdk-pixbuf
// (a gradient, so that the file is no trivial run of one colour).
//
// Threads: any.
#pragma once

#include <string>

class TestImage {
 public:
  TestImage() = delete;

  // Writes an image of width x height pixels to path in the type gdk-pixbuf
  // names ("png", "jpeg"); false when it cannot.
  static bool write(const std::string& path, const std::string& type, int width, int height);
  // An SVG document that declares width x height pixels (a few hundred bytes).
  static std::string svg(int width, int height);
  // A small SVG document (5 KB) whose one filter, a convolution of order 50,
  // makes an SVG renderer end the process that draws it.
  static std::string svgWithLargeConvolution();
};
