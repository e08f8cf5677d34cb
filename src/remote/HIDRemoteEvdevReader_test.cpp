#include "HIDRemoteEvdevReader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

class HIDRemoteEvdevReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
  }
  void TearDown() override {
    close(fds[0]);
    if (fds[1] >= 0) close(fds[1]);
  }
  static std::string record(uint16_t type, uint16_t code, int32_t value) {
    input_event e{};
    e.type = type;
    e.code = code;
    e.value = value;
    return std::string(reinterpret_cast<const char*>(&e), sizeof e);
  }
  void write(const std::string& bytes) { ASSERT_EQ(::write(fds[1], bytes.data(), bytes.size()), ssize_t(bytes.size())); }
  std::vector<std::pair<uint32_t, int32_t>> drain(HIDRemoteEvdevReader& reader) {
    std::vector<std::pair<uint32_t, int32_t>> out;
    HIDRemoteQueueEvent e;
    while (reader.next(&e) == HIDRemoteEvdevReader::kMoreEvents) out.push_back({e.cookie, e.value});
    return out;
  }
  int fds[2] = {-1, -1};
};

TEST_F(HIDRemoteEvdevReaderTest, KeepsPressesAndReleasesAndDropsRepeatsAndOtherEvents) {
  HIDRemoteEvdevReader reader(fds[0]);
  write(record(EV_MSC, MSC_SCAN, 0x1234) + record(EV_KEY, KEY_PLAYPAUSE, 1) + record(EV_SYN, SYN_REPORT, 0) +
        record(EV_KEY, KEY_PLAYPAUSE, 2) + record(EV_KEY, KEY_PLAYPAUSE, 0));
  auto events = drain(reader);
  EXPECT_EQ(events, (std::vector<std::pair<uint32_t, int32_t>>{{KEY_PLAYPAUSE, 1}, {KEY_PLAYPAUSE, 0}}));
}

TEST_F(HIDRemoteEvdevReaderTest, ARecordSplitAcrossReadsIsJoined) {
  HIDRemoteEvdevReader reader(fds[0]);
  std::string bytes = record(EV_KEY, KEY_NEXTSONG, 1);
  write(bytes.substr(0, 5));
  EXPECT_TRUE(drain(reader).empty());
  write(bytes.substr(5));
  EXPECT_EQ(drain(reader), (std::vector<std::pair<uint32_t, int32_t>>{{KEY_NEXTSONG, 1}}));
}

TEST_F(HIDRemoteEvdevReaderTest, AVanishedDeviceIsReportedOnceAfterItsLastEvents) {
  HIDRemoteEvdevReader reader(fds[0]);
  write(record(EV_KEY, KEY_MENU, 1));
  close(fds[1]);
  fds[1] = -1;
  HIDRemoteQueueEvent e;
  EXPECT_EQ(reader.next(&e), HIDRemoteEvdevReader::kMoreEvents);
  EXPECT_EQ(reader.next(&e), HIDRemoteEvdevReader::kGone);
  EXPECT_EQ(reader.next(&e), HIDRemoteEvdevReader::kEmpty);
}

}  // namespace
