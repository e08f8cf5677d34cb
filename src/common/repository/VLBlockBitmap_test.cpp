#include "VLBlockBitmap.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <sys/mman.h>
#include <vector>

namespace {

const size_t kBlock = 4096;

std::vector<uint8_t> pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(i * 7 + (i >> 12) * 13 + seed);
  return bytes;
}

std::list<size_t> runsOf(const std::vector<uint8_t>& bitmap, size_t first, size_t count, bool value) {
  std::list<size_t> runs;
  getBitRuns(bitmap.data(), first, count, value, runs);
  return runs;
}

}  // namespace

TEST(VLBlockBitmap, BitmapSizeRoundsBlocksUpToWholeBytes) {
  const size_t cases[][2] = {{0, 0},
                             {1, 1},
                             {8 * kBlock, 1},
                             {8 * kBlock + 1, 2},
                             {8 * 1000 * kBlock, 1000},
                             {(size_t(5) << 32) + 1, (size_t(5) << 32) / kBlock / 8 + 1},
                             {SIZE_MAX, size_t(1) << 49}};
  for (const auto& c : cases) EXPECT_EQ(c[1], getBitmapSize(c[0])) << c[0];
}

TEST(VLBlockBitmap, ReadStopsAtTheFirstMissingBlock) {
  struct Case {
    uint8_t bits;  // blocks 0 to 4
    size_t offset;
    size_t length;
    size_t copied;
  };
  const Case cases[] = {
      {0x00, 100, 50, 0},
      {0x01, 100, 50, 50},
      {0x03, 0, 10000, 8192},                          // block 2 missing
      {0x01, 4000, 200, 96},                           // 96 bytes of block 0, block 1 missing
      {0x1F, 4000, 3 * kBlock + 17, 3 * kBlock + 17},  // unaligned start, partial tail
      {0x1B, 3 * kBlock + 5, 300, 300},                // block 2 missing, a read inside block 3
  };
  std::vector<uint8_t> content = pattern(5 * kBlock, 3);
  for (const Case& c : cases) {
    std::vector<uint8_t> out(5 * kBlock, 0xEE);
    EXPECT_EQ(c.copied, readBlocks(out.data(), content.data(), &c.bits, c.offset, c.length)) << c.offset;
    EXPECT_EQ(0, memcmp(out.data(), content.data() + c.offset, c.copied)) << c.offset;
    EXPECT_EQ(0xEE, out[c.copied]) << c.offset;  // nothing past what was counted
  }
}

TEST(VLBlockBitmap, CopiesWholeBlocksAndTheLastPartialOneAtTheEndThenMarksThem) {
  struct Case {
    size_t offset;
    size_t length;
    bool endOfFile;
    size_t copied;
    uint8_t bits;
  };
  const Case cases[] = {
      {8192, 10000, false, 8192, 0x0C},  // the tail stays with the caller
      {8192, 10000, true, 10000, 0x1C},
      {0, 1000, false, 0, 0x00},
      {0, 1000, true, 1000, 0x01},
  };
  std::vector<uint8_t> source = pattern(10000, 9);
  for (const Case& c : cases) {
    std::vector<uint8_t> content(8192 + 10000 + 1, 0);
    uint8_t bits = 0;
    EXPECT_EQ(c.copied, copyBlocks(content.data(), source.data(), c.offset, c.length, c.endOfFile));
    EXPECT_EQ(0, bits) << "copying marks nothing";
    markBlocks(&bits, c.offset, c.copied);
    EXPECT_EQ(c.bits, bits) << c.offset << "+" << c.length;
    EXPECT_EQ(0, memcmp(content.data() + c.offset, source.data(), c.copied));
    EXPECT_EQ(0, content[c.offset + c.copied]);
  }
}

TEST(VLBlockBitmap, RunLengthsRunsAndCounts) {
  std::vector<uint8_t> bitmap = {0xF8, 0xFF, 0x01};
  EXPECT_EQ(0u, getBitRunLength(bitmap.data(), 0, 0, true));
  EXPECT_EQ(14u, getBitRunLength(bitmap.data(), 3, 21, true));
  EXPECT_EQ(5u, getBitRunLength(bitmap.data(), 3, 5, true));  // capped by the count
  EXPECT_EQ(7u, getBitRunLength(bitmap.data(), 17, 7, false));
  std::vector<uint8_t> ones(64, 0xFF);
  ones[40] = 0xEF;  // bit 324 clear
  EXPECT_EQ(317u, getBitRunLength(ones.data(), 7, 500, true));

  std::vector<uint8_t> small = {0x13};  // bits 1, 1, 0, 0, 1
  EXPECT_EQ((std::list<size_t>{0, 1, 4, 4}), runsOf(small, 0, 5, true));
  EXPECT_EQ((std::list<size_t>{2, 3}), runsOf(small, 0, 5, false));
  std::vector<uint8_t> wide(32, 0);
  wide[3] = 0xFF;
  wide[4] = 0x0F;   // bits 24..35
  wide[31] = 0x80;  // bit 255
  EXPECT_EQ((std::list<size_t>{24, 35, 255, 255}), runsOf(wide, 0, 256, true));
  EXPECT_EQ((std::list<size_t>{10, 23, 36, 254}), runsOf(wide, 10, 246, false));

  EXPECT_EQ(9u, countBits(bitmap.data() + 1, 2));
  std::vector<uint8_t> all(256);
  for (size_t i = 0; i < all.size(); ++i) all[i] = uint8_t(i);
  EXPECT_EQ(1024u, countBits(all.data(), all.size()));
}

TEST(VLBlockBitmap, OffsetsAboveFourGigabytes) {
  // A 6 GiB content mapping that the kernel backs only where it is touched.
  const size_t size = (size_t(6) << 30) + 1000;
  void* mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(MAP_FAILED, mapping);
  uint8_t* content = static_cast<uint8_t*>(mapping);
  std::vector<uint8_t> bitmap(getBitmapSize(size), 0);

  const size_t offset = (size_t(5) << 30) + 3 * kBlock;  // block 1310723
  std::vector<uint8_t> source = pattern(2 * kBlock, 77);
  ASSERT_EQ(2 * kBlock, copyBlocks(content, source.data(), offset, 2 * kBlock, false));
  markBlocks(bitmap.data(), offset, 2 * kBlock);
  EXPECT_EQ(0x18, bitmap[offset / kBlock / 8]);
  std::vector<uint8_t> out(2 * kBlock);
  EXPECT_EQ(2 * kBlock - 10, readBlocks(out.data(), content, bitmap.data(), offset + 10, 2 * kBlock));
  EXPECT_EQ(0, memcmp(out.data(), source.data() + 10, 2 * kBlock - 10));
  EXPECT_EQ(0u, readBlocks(out.data(), content, bitmap.data(), offset - 10, 100));

  // The file's last, partial block lies beyond 6 GiB.
  const size_t lastBlock = size / kBlock * kBlock;
  ASSERT_EQ(1000u, copyBlocks(content, source.data(), lastBlock, 1000, true));
  markBlocks(bitmap.data(), lastBlock, 1000);
  std::list<size_t> runs;
  getBitRuns(bitmap.data(), 0, (size + kBlock - 1) / kBlock, true, runs);
  EXPECT_EQ((std::list<size_t>{offset / kBlock, offset / kBlock + 1, lastBlock / kBlock, lastBlock / kBlock}), runs);
  EXPECT_EQ(1000u, readBlocks(out.data(), content, bitmap.data(), lastBlock, 1000));
  munmap(mapping, size);
}
