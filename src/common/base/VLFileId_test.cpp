#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "VLFileFormat.h"
#include "VLFileId.h"

TEST(VLFileFormat, FindFallsBackToTheFirstRow)
{
    const VLFileFormat* table = VLFileFormat::getTable();
    EXPECT_EQ(&table[0], VLFileFormat::find(6));
    EXPECT_EQ(&table[26], VLFileFormat::find(30));
    for (uint32_t missing : {0u, 19u, 22u, 23u, 31u, 4294967295u})
        EXPECT_EQ(&table[0], VLFileFormat::find(missing)) << missing;
    EXPECT_EQ(13u, VLFileFormat::find(13)->getId());
}

TEST(VLFileId, UnknownFormatBecomesSixAndConstructorsAgree)
{
    VLFileId unknown("track", 19u);
    VLFileId six("track", VLFileFormat::find(6));
    EXPECT_EQ(6u, unknown.getFormat()->getId());
    EXPECT_TRUE(unknown == six);
    EXPECT_FALSE(VLFileId("track", 5u) == six);
    EXPECT_TRUE(VLFileId("track", 5u) != six);
    VLFileId copy(unknown);
    EXPECT_EQ(unknown, copy);
    EXPECT_EQ("track", copy.getEntityId());
}

TEST(VLFileId, OrderIsBytewiseThenFormat)
{
    EXPECT_TRUE(VLFileId("a", 30u) < VLFileId("b", 1u));
    EXPECT_TRUE(VLFileId("a", 6u) < VLFileId("a", 13u));
    EXPECT_FALSE(VLFileId("a", 6u) < VLFileId("a", 6u));
    EXPECT_TRUE(VLFileId("Zebra", 6u) < VLFileId("apple", 6u));  // upper before lower case
    EXPECT_TRUE(VLFileId("abc", 30u) < VLFileId("abcd", 1u));    // a prefix first
    EXPECT_FALSE(VLFileId("abcd", 1u) < VLFileId("abc", 30u));
    // Bytes from 0x80 up sort after ASCII (unsigned comparison).
    EXPECT_TRUE(VLFileId("z", 6u) < VLFileId("\xc3\xa9", 6u));
    EXPECT_FALSE(VLFileId("\xc3\xa9", 6u) < VLFileId("z", 6u));
    // Embedded zero bytes are part of the id.
    EXPECT_TRUE(VLFileId(std::string("a\0b", 3), 6u) < VLFileId(std::string("a\0c", 3), 6u));

    std::map<VLFileId, int> files;
    files[VLFileId("b", 5u)] = 1;
    files[VLFileId("b", 19u)] = 2;  // format 6
    files[VLFileId("b", 6u)] = 3;   // same key as the one above
    files[VLFileId("a", 30u)] = 4;
    ASSERT_EQ(3u, files.size());
    EXPECT_EQ("a", files.begin()->first.getEntityId());
    EXPECT_EQ(3, files[VLFileId("b", 6u)]);
}

TEST(VLFileId, PrintsEntityUnderscoreFormat)
{
    std::ostringstream out;
    out << VLFileId("12345", 13u) << ' ' << VLFileId("x", 99u);
    EXPECT_EQ("12345_13 x_6", out.str());
}
