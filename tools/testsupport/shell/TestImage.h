// Image files of a given size for the shell's tests, made with gdk-pixbuf
// (a gradient, so that the file is no trivial run of one colour) or
// ImageMagick.
//
// Threads: any.
#pragma once

#include <cstddef>
#include <string>

class TestImage {
 public:
  TestImage() = delete;

  // Writes an image of width x height pixels to path in the type gdk-pixbuf
  // names ("png", "jpeg"); false when it cannot.
  static bool write(const std::string& path, const std::string& type, int width, int height);
  // Writes a progressive JPEG of width x height pixels, as ImageMagick
  // writes one (10 scans in colour, 6 in grey: a flat grey then), with its
  // last scan repeated until it has `scans` (0: as written); false when it
  // cannot. Repeated, a scan of a flat image takes a few dozen bytes.
  static bool writeProgressiveJpeg(const std::string& path, int width, int height, bool grey, size_t scans = 0);
  // An SVG document that declares width x height pixels (a few hundred bytes).
  static std::string svg(int width, int height);
  // A small SVG document (5 KB) whose one filter, a convolution of order 50,
  // makes an SVG renderer end the process that draws it.
  static std::string svgWithLargeConvolution();
};
