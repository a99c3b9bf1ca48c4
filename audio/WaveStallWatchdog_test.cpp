#include "audio/WaveStallWatchdog.h"

#include <gtest/gtest.h>

#include "platform/SyncObjects.h"

namespace tw {
namespace {

using Clock = TWaveStallWatchdog::Clock;
using Watch = TWaveStallWatchdog::TWatch;
using std::chrono::milliseconds;

TEST(WaveStallWatchdogTest, DeadlineIsTheHeldSoundPlusTheTimeout) {
  TWaveStallWatchdog dog;
  dog.Arm();
  EXPECT_EQ(dog.Deadline(Watch::kNone, 176400, 176400, 100), Clock::time_point::max());
  EXPECT_EQ(TWaveStallWatchdog::DelayMs(Clock::time_point::max()), INFINITE);

  // One second of sound held, 100 ms of grace, counted from the progress
  // (first seen by this call).
  Clock::time_point before = Clock::now();
  Clock::time_point deadline = dog.Deadline(Watch::kSound, 176400, 176400, 100);
  EXPECT_GE(deadline, before + milliseconds(1100));
  EXPECT_LE(deadline, Clock::now() + milliseconds(1100));
  // No progress since: the same deadline, however often asked.
  EXPECT_EQ(dog.Deadline(Watch::kSound, 176400, 176400, 100), deadline);
  // A rate of 0 counts as 1 byte a second rather than dividing by zero.
  EXPECT_GE(dog.Deadline(Watch::kSound, 2, 0, 0), before + milliseconds(2000));

  // A stop is bounded from when it was asked for, whatever the sound.
  before = Clock::now();
  dog.NoteStop();
  deadline = dog.Deadline(Watch::kStop, 1u << 30, 1, 50);
  EXPECT_GE(deadline, before + milliseconds(50));
  EXPECT_LE(deadline, Clock::now() + milliseconds(50));
  EXPECT_EQ(TWaveStallWatchdog::DelayMs(before), 0u);
}

TEST(WaveStallWatchdogTest, RoundsReportOnceThenGiveUp) {
  TWaveStallWatchdog dog;
  for (int open = 0; open < 2; ++open) {
    dog.Arm();  // each open starts counting again
    const TWaveStallWatchdog::TRound first = dog.TakeRound();
    EXPECT_TRUE(first.Report);
    EXPECT_FALSE(first.GiveUp);
    for (int i = 0; i < 2; ++i) {
      const TWaveStallWatchdog::TRound again = dog.TakeRound();
      EXPECT_FALSE(again.Report);
      EXPECT_FALSE(again.GiveUp);
    }
    EXPECT_TRUE(dog.TakeRound().GiveUp);
  }
}

}  // namespace
}  // namespace tw
