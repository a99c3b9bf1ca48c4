#include "driver/BattleFeed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "core/unit_core_program_utils.h"
#include "core/unit_core_utils.h"
#include "core/unit_random_warrior_position_generator.h"
#include "driver/BattleLoop.h"
#include "testing/ToneTestSupport.h"

namespace tw {
namespace {

using testing::CellOf;

TEST(BattleFeed, RedcodeText) {
  EXPECT_EQ(RedcodeText(CellOf("MOV.I $0, $1")), "MOV.I $0, $1");
  EXPECT_EQ(RedcodeText(CellOf("ADD.AB #3044, $3")), "ADD.AB #3044, $3");
  EXPECT_EQ(RedcodeText(CellOf("SPL.B }-1, <7999")), "SPL.B }7999, <7999");
  EXPECT_EQ(RedcodeText(DefaultCell), "DAT.F $0, $0");
  CoreCell odd = DefaultCell;
  odd.InstructionWord = 0xFFFF;  // no such opcode, modifier or B-mode
  EXPECT_EQ(RedcodeText(odd), "?.? }0, ?0");
}

// The bundled battle watched from its first step: the first snapshot, asked
// for before the battle, shows the first instruction heard and both
// warriors' code; at the end both warriors have written cells.
TEST(BattleFeed, TheBundledBattle) {
  auto state = std::make_unique<BattleState>();
  LoadWarriors(*state, TONEWELL_SOURCE_DIR "/examples/Mice.red",
               TONEWELL_SOURCE_DIR "/examples/Piper.red");
  state->Rounds = 1;
  state->Cycles = 80000;
  RandomSeed = 0;
  SnapshotExchange exchange;
  BattleFeed feed(exchange);
  exchange.Request();
  RunBattleWith<SilentTone>(*state, feed);

  BattleSnapshot first;
  ASSERT_TRUE(exchange.Collect(first, std::chrono::steady_clock::now()));
  EXPECT_EQ(first.Cycle, 1);
  EXPECT_EQ(first.Tones, 0u);
  EXPECT_EQ(first.WarriorCount, 2);
  EXPECT_EQ(first.HeardWarrior, 0);
  EXPECT_EQ(first.HeardAddress, first.Warriors[0].NextAddress);
  EXPECT_EQ(first.Warriors[1].NextAddress, 344 + state->StartOffsets[1]);
  ASSERT_EQ(first.Writers.size(), static_cast<std::size_t>(CoreSize));
  for (std::size_t i = 0; i < state->Programs[0].size(); ++i) EXPECT_EQ(first.Writers[i], 1);
  for (std::size_t i = 0; i < state->Programs[1].size(); ++i) EXPECT_EQ(first.Writers[344 + i], 2);
  EXPECT_EQ(std::count(first.Writers.begin(), first.Writers.end(), 0),
            CoreSize - static_cast<long>(state->Programs[0].size() + state->Programs[1].size()));
  EXPECT_STREQ(first.Heard.data(),
               RedcodeText(state->Programs[0][0 + state->StartOffsets[0]]).c_str());

  feed.PublishFinal();
  BattleSnapshot last;
  ASSERT_TRUE(exchange.Collect(last, std::chrono::steady_clock::now()));
  EXPECT_TRUE(last.Finished);
  EXPECT_EQ(last.Cycle, state->EndCycle);
  EXPECT_EQ(last.Tones, 2u * static_cast<unsigned>(state->EndCycle));  // both step to the end
  EXPECT_EQ(last.Warriors[1].Processes, 0);                            // Piper lost
  EXPECT_GT(std::count(last.Writers.begin(), last.Writers.end(), 1), 100);
  EXPECT_GT(std::count(last.Writers.begin(), last.Writers.end(), 2), 100);
  EXPECT_TRUE(std::equal(last.Writers.begin(), last.Writers.end(), feed.Writers().begin()));
}

}  // namespace
}  // namespace tw
