// The output table: the names and numbers are stored in output ids and shown
// to the user, so every row is pinned here, with what its maker makes and the
// order the automatic output tries.
#include "VEOutputTable.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "VEOutputAlsa.h"
#include "VEOutputNoSound.h"
#include "VEOutputPulse.h"
#include "VEOutputWav.h"
#include "VESystem.h"

namespace {

enum class Made { Nothing, Pulse, Alsa, NoSound, Wav };

Made kindOf(const VEOutput* output) {
  if (!output) return Made::Nothing;
  if (dynamic_cast<const VEOutputPulse*>(output)) return Made::Pulse;
  if (dynamic_cast<const VEOutputAlsa*>(output)) return Made::Alsa;
  if (dynamic_cast<const VEOutputNoSound*>(output)) return Made::NoSound;
  if (dynamic_cast<const VEOutputWav*>(output)) return Made::Wav;
  return Made::Nothing;
}

struct Row {
  int type;
  const char* name;
  bool listsDevices;
  Made made;
  bool realTime;
};

const Row kExpected[] = {
    {0, "Default", true, Made::Nothing, false},
    {1, "PulseAudio", true, Made::Pulse, true},
    {2, "ALSA", true, Made::Alsa, true},
    {3, "No sound", false, Made::NoSound, true},
    {4, "WAV writer", false, Made::Wav, true},
    {5, "No sound (non-real-time)", false, Made::NoSound, false},
    {6, "WAV writer (non-real-time)", false, Made::Wav, false},
};

}  // namespace

TEST(VEOutputTable, EveryTypeKeepsItsNumberNameAndMaker) {
  ASSERT_EQ(sizeof(kExpected) / sizeof(kExpected[0]), kOutputCount);
  for (const Row& row : kExpected) {
    SCOPED_TRACE(row.name);
    const VEOutputEntry* entry = veFindOutput(row.type);
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(row.type, static_cast<int>(entry->type));
    EXPECT_STREQ(row.name, veOutputTypeName(row.type));
    EXPECT_EQ(row.listsDevices, entry->listsDevices);
    std::unique_ptr<VEOutput> output = VEOutput::create(static_cast<VEOutputType>(row.type), "/dev/null");
    EXPECT_EQ(row.made, kindOf(output.get()));
    if (output) {
      EXPECT_EQ(row.realTime, output->isRealTime());
    }
  }
}

TEST(VEOutputTable, AutomaticOutputTriesPulseThenAlsaThenNoSound) {
  const std::vector<VEOutputType> expected = {VE_OUTPUTTYPE_PULSEAUDIO, VE_OUTPUTTYPE_ALSA, VE_OUTPUTTYPE_NOSOUND};
  EXPECT_EQ(expected, veAutomaticOutputOrder());
}

TEST(VEOutputTable, NumbersOutsideTheTableAreRefused) {
  VESystem* system = nullptr;
  ASSERT_EQ(VE_OK, VESystem::create(&system));
  for (int type : {-1, 7, 100}) {
    EXPECT_EQ(nullptr, veFindOutput(type));
    EXPECT_STREQ("Unknown", veOutputTypeName(type));
    EXPECT_EQ(nullptr, VEOutput::create(static_cast<VEOutputType>(type), ""));
    EXPECT_EQ(VE_ERR_INVALID_PARAM, system->setOutput(static_cast<VEOutputType>(type))) << type;
  }
  for (const VEOutputEntry* entry = kOutputs; entry != kOutputs + kOutputCount; ++entry)
    EXPECT_EQ(VE_OK, system->setOutput(entry->type)) << entry->name;
  system->release();
}
