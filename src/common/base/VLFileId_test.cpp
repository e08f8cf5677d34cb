#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <vector>

#include "VLFileFormat.h"
#include "VLFileHandle.h"
#include "VLFileId.h"

TEST(VLFileFormat, FindFallsBackToTheFirstRow) {
  const VLFileFormat* table = VLFileFormat::getTable();
  EXPECT_EQ(&table[0], VLFileFormat::find(6));
  EXPECT_EQ(&table[26], VLFileFormat::find(30));
  for (uint32_t missing : {0u, 19u, 22u, 23u, 31u, 4294967295u})
    EXPECT_EQ(&table[0], VLFileFormat::find(missing)) << missing;
  EXPECT_EQ(13u, VLFileFormat::find(13)->getId());
}

TEST(VLFileId, UnknownFormatBecomesSixAndConstructorsAgree) {
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

TEST(VLFileId, OrderIsBytewiseThenFormat) {
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

TEST(VLFileId, PrintsEntityUnderscoreFormat) {
  std::ostringstream out;
  out << VLFileId("12345", 13u) << ' ' << VLFileId("x", 99u);
  EXPECT_EQ("12345_13 x_6", out.str());
}

// The table in search-preference order, with its flags: the order is what the
// player's file search and the downloader's fallback walk.
TEST(VLFileFormat, TheTableWalksTwentySevenRowsInPreferenceOrder) {
  const struct {
    uint32_t id;
    bool isDefault, isSecondary, isPrimary, isEnabled;
  } rows[] = {
      {6, 1, 0, 1, 1},  {1, 0, 0, 1, 0},  {13, 0, 0, 1, 1}, {11, 0, 0, 1, 1}, {18, 0, 1, 0, 1}, {8, 0, 1, 0, 0},
      {5, 1, 1, 0, 1},  {17, 0, 1, 0, 1}, {9, 0, 1, 0, 0},  {10, 0, 1, 0, 1}, {2, 0, 0, 0, 0},  {3, 0, 1, 1, 0},
      {4, 0, 0, 0, 0},  {7, 0, 0, 0, 0},  {12, 0, 0, 0, 0}, {14, 0, 0, 0, 0}, {15, 0, 1, 0, 0}, {16, 0, 1, 0, 0},
      {20, 0, 0, 0, 0}, {21, 0, 0, 0, 0}, {24, 0, 0, 0, 0}, {25, 0, 0, 0, 0}, {26, 0, 0, 0, 0}, {27, 0, 0, 0, 0},
      {28, 0, 0, 0, 0}, {29, 0, 0, 0, 0}, {30, 0, 0, 0, 0},
  };
  const int size = VLFileFormat::TABLE_SIZE;
  ASSERT_EQ(int(sizeof(rows) / sizeof(rows[0])), size);
  const VLFileFormat* table = VLFileFormat::getTable();
  std::vector<uint32_t> enabled, primary, secondary, defaults;
  for (int i = 0; i < size; ++i) {
    const VLFileFormat& row = table[i];
    EXPECT_EQ(rows[i].id, row.getId()) << "row " << i + 1;
    EXPECT_EQ(rows[i].isDefault, row.isDefault()) << row.getId();
    EXPECT_EQ(rows[i].isSecondary, row.isSecondaryClass()) << row.getId();
    EXPECT_EQ(rows[i].isPrimary, row.isPrimaryClass()) << row.getId();
    EXPECT_EQ(rows[i].isEnabled, row.isEnabled()) << row.getId();
    EXPECT_EQ(&row, VLFileFormat::find(row.getId()));
    if (!row.isEnabled()) continue;
    enabled.push_back(row.getId());
    // A class holds the enabled rows with its flag and not the other's.
    if (row.isPrimaryClass() != row.isSecondaryClass())
      (row.isPrimaryClass() ? primary : secondary).push_back(row.getId());
    if (row.isDefault()) defaults.push_back(row.getId());
  }
  EXPECT_EQ((std::vector<uint32_t>{6, 13, 11, 18, 5, 17, 10}), enabled);
  EXPECT_EQ((std::vector<uint32_t>{6, 13, 11}), primary);
  EXPECT_EQ((std::vector<uint32_t>{18, 5, 17, 10}), secondary);
  EXPECT_EQ((std::vector<uint32_t>{6, 5}), defaults);
}

TEST(VLFileHandle, EqualOnlyForTheSameRepositoryAndFile) {
  // Only the pointers are compared: two distinct addresses stand for two repositories.
  char repositories[2];
  VLRepository* cache = reinterpret_cast<VLRepository*>(&repositories[0]);
  VLRepository* download = reinterpret_cast<VLRepository*>(&repositories[1]);
  VLFileHandle handle(cache, VLFileId("track", 5u));
  EXPECT_TRUE(handle == VLFileHandle(cache, VLFileId("track", 5u)));
  EXPECT_TRUE(handle != VLFileHandle(download, VLFileId("track", 5u)));
  EXPECT_TRUE(handle != VLFileHandle(cache, VLFileId("track", 6u)));
  EXPECT_TRUE(handle != VLFileHandle(cache, VLFileId("other", 5u)));
  EXPECT_EQ(VLFileId("track", 5u), handle.getFileId());
  EXPECT_EQ(cache, handle.getRepository());
}
