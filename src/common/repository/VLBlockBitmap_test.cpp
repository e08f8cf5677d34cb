#include "VLBlockBitmap.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <sys/mman.h>
#include <vector>

namespace {

const size_t kBlock = 4096;

std::vector<uint8_t> pattern(size_t size, uint8_t seed)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = uint8_t(i * 7 + (i >> 12) * 13 + seed);
    return bytes;
}

std::list<size_t> runsOf(const std::vector<uint8_t>& bitmap, size_t first, size_t count, bool value)
{
    std::list<size_t> runs;
    getBitRuns(bitmap.data(), first, count, value, runs);
    return runs;
}

} // namespace

TEST(VLBlockBitmap, BitmapSizeRoundsBlocksUpToWholeBytes)
{
    EXPECT_EQ(0u, getBitmapSize(0));
    EXPECT_EQ(1u, getBitmapSize(1));
    EXPECT_EQ(1u, getBitmapSize(4096));
    EXPECT_EQ(1u, getBitmapSize(8 * kBlock));
    EXPECT_EQ(2u, getBitmapSize(8 * kBlock + 1));
    EXPECT_EQ(1000u, getBitmapSize(8 * 1000 * kBlock));
    // Sizes above 4 GiB keep their high bits.
    EXPECT_EQ((size_t(5) << 32) / kBlock / 8, getBitmapSize(size_t(5) << 32));
    EXPECT_EQ((size_t(5) << 32) / kBlock / 8 + 1, getBitmapSize((size_t(5) << 32) + 1));
    // No overflow at the top of the range.
    EXPECT_EQ(size_t(1) << 49, getBitmapSize(SIZE_MAX));
}

TEST(VLBlockBitmap, ReadStopsAtTheFirstMissingBlock)
{
    struct Case
    {
        uint8_t bits;  // blocks 0 to 4
        size_t offset;
        size_t length;
        size_t copied;
    };
    const Case cases[] = {
        {0x00, 100, 50, 0},
        {0x01, 0, 0, 0},
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

TEST(VLBlockBitmap, WriteStoresWholeBlocksAndTheLastPartialOneAtTheEnd)
{
    std::vector<uint8_t> source = pattern(10000, 9);
    std::vector<uint8_t> content(8192 + 10000, 0);
    std::vector<uint8_t> bitmap(1, 0);

    EXPECT_EQ(8192u, writeBlocks(content.data(), source.data(), bitmap.data(), 8192, 10000, false));
    EXPECT_EQ(0x0C, bitmap[0]);
    EXPECT_EQ(0, memcmp(content.data() + 8192, source.data(), 8192));
    EXPECT_EQ(0, content[8192 + 8192]); // the tail was not written

    EXPECT_EQ(10000u, writeBlocks(content.data(), source.data(), bitmap.data(), 8192, 10000, true));
    EXPECT_EQ(0x1C, bitmap[0]);
    EXPECT_EQ(0, memcmp(content.data() + 8192, source.data(), 10000));

    std::vector<uint8_t> small(1000, 0);
    std::vector<uint8_t> smallBitmap(1, 0);
    EXPECT_EQ(0u, writeBlocks(small.data(), source.data(), smallBitmap.data(), 0, 1000, false));
    EXPECT_EQ(0, smallBitmap[0]);
    EXPECT_EQ(0, small[0] | small[999]);
    EXPECT_EQ(1000u, writeBlocks(small.data(), source.data(), smallBitmap.data(), 0, 1000, true));
    EXPECT_EQ(0x01, smallBitmap[0]);
    EXPECT_EQ(0, memcmp(small.data(), source.data(), 1000));
}

TEST(VLBlockBitmap, RunLengthsScanBitsAndWholeBytes)
{
    std::vector<uint8_t> bitmap = {0xF8, 0xFF, 0x01};
    EXPECT_EQ(0u, getBitRunLength(bitmap.data(), 0, 0, true));
    EXPECT_EQ(14u, getBitRunLength(bitmap.data(), 3, 21, true));
    EXPECT_EQ(3u, getBitRunLength(bitmap.data(), 0, 24, false));
    EXPECT_EQ(5u, getBitRunLength(bitmap.data(), 3, 5, true)); // capped by the count
    EXPECT_EQ(7u, getBitRunLength(bitmap.data(), 17, 7, false));

    std::vector<uint8_t> ones(64, 0xFF);
    EXPECT_EQ(512u, getBitRunLength(ones.data(), 0, 512, true));
    EXPECT_EQ(500u, getBitRunLength(ones.data(), 7, 500, true));
    ones[40] = 0xEF; // bit 324 clear
    EXPECT_EQ(324u, getBitRunLength(ones.data(), 0, 512, true));
    EXPECT_EQ(1u, getBitRunLength(ones.data(), 324, 100, false));
}

TEST(VLBlockBitmap, RunsListFirstAndLastBitOfEachRun)
{
    std::vector<uint8_t> bitmap = {0x13}; // bits 1, 1, 0, 0, 1
    EXPECT_EQ((std::list<size_t>{0, 1, 4, 4}), runsOf(bitmap, 0, 5, true));
    EXPECT_EQ((std::list<size_t>{2, 3}), runsOf(bitmap, 0, 5, false));
    EXPECT_EQ((std::list<size_t>{}), runsOf(bitmap, 0, 0, true));

    std::vector<uint8_t> wide(32, 0);
    wide[3] = 0xFF;
    wide[4] = 0x0F; // bits 24..35
    wide[31] = 0x80; // bit 255
    EXPECT_EQ((std::list<size_t>{24, 35, 255, 255}), runsOf(wide, 0, 256, true));
    EXPECT_EQ((std::list<size_t>{10, 23, 36, 254}), runsOf(wide, 10, 246, false));

    std::list<size_t> appended = {99};
    getBitRuns(bitmap.data(), 0, 5, true, appended);
    EXPECT_EQ((std::list<size_t>{99, 0, 1, 4, 4}), appended);
}

TEST(VLBlockBitmap, CountsSetBits)
{
    std::vector<uint8_t> bitmap = {0xFF, 0x01};
    EXPECT_EQ(9u, countBits(bitmap.data(), 2));
    EXPECT_EQ(8u, countBits(bitmap.data(), 1));
    EXPECT_EQ(0u, countBits(bitmap.data(), 0));
    std::vector<uint8_t> all(256);
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = uint8_t(i);
    EXPECT_EQ(1024u, countBits(all.data(), all.size()));
}

TEST(VLBlockBitmap, OffsetsAboveFourGigabytes)
{
    // A 6 GiB content mapping that the kernel backs only where it is touched.
    const size_t size = (size_t(6) << 30) + 1000;
    void* mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(MAP_FAILED, mapping);
    uint8_t* content = static_cast<uint8_t*>(mapping);
    std::vector<uint8_t> bitmap(getBitmapSize(size), 0);

    const size_t offset = (size_t(5) << 30) + 3 * kBlock; // block 1310723
    std::vector<uint8_t> source = pattern(2 * kBlock, 77);
    EXPECT_EQ(2 * kBlock, writeBlocks(content, source.data(), bitmap.data(), offset, 2 * kBlock, false));
    EXPECT_EQ(2u, countBits(bitmap.data(), bitmap.size()));
    EXPECT_EQ(0x18, bitmap[offset / kBlock / 8]);

    std::vector<uint8_t> out(2 * kBlock);
    EXPECT_EQ(2 * kBlock - 10, readBlocks(out.data(), content, bitmap.data(), offset + 10, 2 * kBlock));
    EXPECT_EQ(0, memcmp(out.data(), source.data() + 10, 2 * kBlock - 10));
    EXPECT_EQ(0u, readBlocks(out.data(), content, bitmap.data(), offset - 10, 100));

    std::list<size_t> runs;
    getBitRuns(bitmap.data(), 0, (size + kBlock - 1) / kBlock, true, runs);
    EXPECT_EQ((std::list<size_t>{offset / kBlock, offset / kBlock + 1}), runs);

    // The file's last, partial block lies beyond 6 GiB.
    const size_t lastBlock = size / kBlock * kBlock;
    EXPECT_EQ(1000u, writeBlocks(content, source.data(), bitmap.data(), lastBlock, 1000, true));
    EXPECT_EQ(1000u, readBlocks(out.data(), content, bitmap.data(), lastBlock, 1000));
    EXPECT_EQ(0, memcmp(out.data(), source.data(), 1000));
    munmap(mapping, size);
}
