// Covers in the forms a cover host may send them: JPEGs whose segments,
// fill bytes and scans a walk over the markers must read as the decoder
// does (a cover of an odd but sound form arrives, one of too many scans
// does not), and broken ones, which give a reason and no image.
#include "NotificationIcon.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <string>

#include "TestFolder.h"
#include "TestImage.h"

namespace {

class NotificationIconTest : public ::testing::Test {
 protected:
  // A progressive grey JPEG of 600 x 600 pixels of `scans` scans (0: as written).
  std::string progressive(size_t scans = 0) {
    EXPECT_TRUE(TestImage::writeProgressiveJpeg(folder_.file("cover.jpg"), 600, 600, true, scans));
    return TestFolder::read(folder_.file("cover.jpg"));
  }

  // The image decoded from the bytes, as an icon's side; 0 with the reason when none.
  static int side(const std::string& bytes, std::string& reason) {
    GBytes* data = g_bytes_new(bytes.data(), bytes.size());
    GdkPixbuf* image = NotificationIcon::decode(data, reason);
    g_bytes_unref(data);
    if (image == nullptr) return 0;
    int width = gdk_pixbuf_get_width(image);
    g_object_unref(image);
    return width;
  }

  // Each marker (0xFF and a byte that is no stuffed zero) preceded by `fill` more 0xFF bytes.
  static std::string filled(const std::string& jpeg, size_t fill) {
    std::string out = jpeg.substr(0, 2);
    for (size_t at = 2; at < jpeg.size(); ++at) {
      bool marker = jpeg[at] == '\xFF' && at + 1 < jpeg.size() && jpeg[at + 1] != '\0' && jpeg[at + 1] != '\xFF';
      if (marker) out += std::string(fill, '\xFF');
      out += jpeg[at];
    }
    return out;
  }

  // An application segment of the most bytes one holds, all of them what
  // would read as scans of nothing (a start of scan, its length 2).
  static std::string largeApplicationSegment() {
    std::string segment = "\xFF\xE1\xFF\xFF";
    while (segment.size() < 2 + 0xFFFF) segment += std::string("\xFF\xDA\x00\x02", 4);
    return segment.substr(0, 2 + 0xFFFF);
  }

  TestFolder folder_;
};

// The bound read as the decoder reads the file: a large application
// segment full of what looks like scans, and fill bytes before every
// marker, leave a cover of the bound's scans arriving; fill bytes hide no
// scan beyond it.
TEST_F(NotificationIconTest, JpegsOfSoundButOddFormsArriveAndFillBytesHideNoScan) {
  std::string reason;
  const std::string most = progressive(NotificationIcon::kMostJpegScans);
  EXPECT_EQ(side(most, reason), 256) << reason;
  EXPECT_EQ(side(most.substr(0, 2) + largeApplicationSegment() + most.substr(2), reason), 256) << reason;
  EXPECT_EQ(side(filled(most, 3), reason), 256) << reason;
  EXPECT_EQ(side(filled(progressive(NotificationIcon::kMostJpegScans + 1), 3), reason), 0);
  EXPECT_EQ(reason, "a JPEG image of more than 100 scans");
  // What follows the end of the image is not read.
  const std::string ordinary = progressive();
  EXPECT_EQ(side(ordinary + progressive(NotificationIcon::kMostJpegScans + 1).substr(2), reason), 256) << reason;
}

// Broken files: segments whose length runs past the end, lengths of 0 and
// 1, a scan with nothing after it, a file cut anywhere, and a baseline JPEG
// that declares 65,000 x 65,000 pixels: no image, a reason, and the next
// cover arrives.
TEST_F(NotificationIconTest, BrokenJpegsGiveAReasonAndNoImage) {
  const std::string ordinary = progressive();
  std::string reason;
  for (const std::string& broken : {std::string("\xFF\xD8\xFF", 3), std::string("\xFF\xD8\xFF\xE0\xFF\xF0\x00\x00", 8),
                                    std::string("\xFF\xD8\xFF\xE0\x00\x00\xFF\xE0\x00\x01\xFF\xD9", 12),
                                    std::string("\xFF\xD8\xFF\xDA", 4), std::string("\xFF\xD8\xFF\xDA\x00\x08\xFF", 7),
                                    ordinary.substr(0, ordinary.size() / 2), ordinary.substr(0, 200)}) {
    reason.clear();
    EXPECT_EQ(side(broken, reason), 0) << broken.size();
    EXPECT_FALSE(reason.empty()) << broken.size();
  }
  ASSERT_TRUE(TestImage::write(folder_.file("baseline.jpg"), "jpeg", 64, 64));
  std::string huge = TestFolder::read(folder_.file("baseline.jpg"));
  size_t frame = huge.find("\xFF\xC0");
  ASSERT_NE(frame, std::string::npos);
  huge.replace(frame + 5, 4, "\xFD\xE8\xFD\xE8");  // height and width
  EXPECT_EQ(side(huge, reason), 0);
  EXPECT_EQ(reason, "an image of 65000 x 65000 pixels");
  EXPECT_EQ(side(ordinary, reason), 256) << reason;
}

}  // namespace
