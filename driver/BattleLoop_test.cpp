#include "driver/BattleLoop.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/ToneAudio.h"
#include "core/unit_core_utils.h"

namespace tw {
namespace {

Tprogram Program(const std::vector<std::string>& lines) {
  Tprogram program;
  for (const std::string& line : lines) {
    program.emplace_back();
    ParseRedcodeLine(line, program.back());
  }
  return program;
}

class Battle2 : public ::testing::Test {
 protected:
  void SetUp() override {
    state_ = std::make_unique<BattleState>();
    RandomSeed = 0;
  }
  BattleState& Setup(std::vector<Tprogram> programs, std::int32_t cycles = 80000) {
    state_->WarriorCount = static_cast<std::int32_t>(programs.size());
    for (std::size_t i = 0; i < programs.size(); ++i) {
      state_->Programs[i] = programs[i];
      state_->StartOffsets[i] = 0;
    }
    state_->Rounds = 1;
    state_->Cycles = cycles;
    return *state_;
  }
  std::unique_ptr<BattleState> state_;
};

const Tprogram kDat = Program({"DAT.F $0, $0"});
const Tprogram kImp = Program({"MOV.I $0, $1"});
// Runs four instructions, then dies on the DAT in cycle 5.
const Tprogram kDiesInCycle5 =
    Program({"NOP.F $0, $0", "NOP.F $0, $0", "NOP.F $0, $0", "NOP.F $0, $0", "DAT.F $0, $0"});

TEST_F(Battle2, BothDieInTheFirstCycle) {
  BattleState& s = Setup({kDat, kDat});
  RunBattleWith<SilentTone>(s);
  EXPECT_EQ(s.EndCycle, 1);
  EXPECT_EQ(s.AliveCount, 0);
  EXPECT_EQ(s.Scores[0], 0);
  EXPECT_EQ(s.Scores[1], 0);
  EXPECT_EQ(s.PSpaces[0][0], 0);
  EXPECT_EQ(s.PSpaces[1][0], 0);
  std::ostringstream out;
  PrintScores(s, out);
  EXPECT_EQ(out.str(), "Warrior[0].Score: 0\nWarrior[1].Score: 0\n");
}

TEST_F(Battle2, TheSurvivorScoresThreeAndTheRoundEndsThatCycle) {
  BattleState& s = Setup({kDiesInCycle5, kImp});
  RunBattleWith<SilentTone>(s);
  EXPECT_EQ(s.EndCycle, 5);
  EXPECT_EQ(s.Scores[0], 0);
  EXPECT_EQ(s.Scores[1], 3);
  EXPECT_EQ(s.PSpaces[0][0], 0);
  EXPECT_EQ(s.PSpaces[1][0], 1);

  BattleState& t = Setup({kImp, kDiesInCycle5});
  RunBattleWith<SilentTone>(t);
  EXPECT_EQ(t.Scores[0], 3);
  EXPECT_EQ(t.Scores[1], 0);
}

TEST_F(Battle2, AWarriorKilledEarlierInTheCycleStillLosesWithTheOther) {
  // Warrior 0 dies on its own DAT; warrior 1, stepping after it in the same
  // cycle, dies too: nobody scores although warrior 0 died first.
  BattleState& s = Setup({kDiesInCycle5, kDiesInCycle5});
  RunBattleWith<SilentTone>(s);
  EXPECT_EQ(s.EndCycle, 5);
  EXPECT_EQ(s.Scores[0], 0);
  EXPECT_EQ(s.Scores[1], 0);
}

TEST_F(Battle2, BothAliveAtTheCycleLimitScoreOneEach) {
  BattleState& s = Setup({kImp, kImp}, 1000);
  RunBattleWith<SilentTone>(s);
  EXPECT_EQ(s.EndCycle, 1000);
  EXPECT_EQ(s.Scores[0], 1);
  EXPECT_EQ(s.Scores[1], 1);
  EXPECT_EQ(s.PSpaces[0][0], 2);
  EXPECT_EQ(s.PSpaces[1][0], 2);
}

TEST_F(Battle2, WarriorsArePlacedAt0And344AndStartAtTheirOffset) {
  // Warrior 1 is placed at 344 and starts at its offset 2 (address 346),
  // where a MOV marks cell 0 of the core.
  BattleState& s = Setup(
      {kImp, Program({"DAT.F $0, $0", "DAT.F $0, $0", "MOV.AB #77, $-346", "JMP.B $0, $0"})}, 1);
  s.StartOffsets[1] = 2;
  RunBattleWith<SilentTone>(s);
  // The imp at 0 moved itself to 1 first; then warrior 1's MOV wrote 77.
  EXPECT_EQ(s.Core[0].BNumber, 77);
  EXPECT_EQ(s.Core[1], kImp[0]);
  EXPECT_EQ(s.ProcessQueues[1].Entries[s.ProcessQueues[1].Head], 347);
}

TEST_F(Battle2, ANegativeStartOffsetWrapsAroundTheCore) {
  // Start offset -3 at placement 0: the first process runs at 7997. A
  // whole-core program puts a loop there and dead code everywhere else.
  Tprogram whole(CoreSize, DefaultCell);
  whole[7997] = Program({"JMP.B $0, $0"})[0];
  BattleState& s = Setup({whole, kImp}, 3);
  s.StartOffsets[0] = -3;
  RunBattleWith<SilentTone>(s);
  ASSERT_EQ(s.ProcessQueues[0].Count, 1);
  EXPECT_EQ(s.ProcessQueues[0].Entries[s.ProcessQueues[0].Head], 7997);
  // An empty warrior runs whatever lies at its start (DefaultCell) and dies.
  BattleState& e = Setup({Tprogram{}, kImp}, 10);
  RunBattleWith<SilentTone>(e);
  EXPECT_EQ(e.EndCycle, 1);
  EXPECT_EQ(e.Scores[1], 3);
}

TEST_F(Battle2, PSpaceStartsAt7999AndCarriesRoundResults) {
  // Copies P-space cell 0 into cell 1 in every round (placements move from
  // round to round, so the result is kept in P-space, not in the core).
  const Tprogram reader = Program({"LDP.AB #0, $2", "STP.B $1, #1", "JMP.B $0, $0"});
  BattleState& first = Setup({reader, kImp}, 5);
  RunBattleWith<SilentTone>(first);
  EXPECT_EQ(first.PSpaces[0][1], 7999);
  EXPECT_EQ(first.PSpaces[0][0], 2);

  BattleState& s = Setup({reader, kImp}, 5);
  s.Rounds = 2;
  RunBattleWith<SilentTone>(s);
  EXPECT_EQ(s.PSpaces[0][1], 2);  // both survived round 1
  EXPECT_EQ(s.Scores[0], 2);
  EXPECT_EQ(s.Scores[1], 2);

  // Cells other than 0 start at 0 in every battle.
  BattleState& again = Setup({Program({"LDP.AB #1, $2", "STP.B $1, #2", "JMP.B $0, $0"}), kImp}, 5);
  again.PSpaces[0][1] = 55;
  RunBattleWith<SilentTone>(again);
  EXPECT_EQ(again.PSpaces[0][2], 0);
}

TEST_F(Battle2, PSpaceIsPrivateAndSurvivesRounds) {
  const Tprogram storer = Program({"STP.AB #9, #4", "JMP.B $0, $0"});
  BattleState& s = Setup({storer, kImp}, 3);
  s.Rounds = 3;
  RunBattleWith<SilentTone>(s);
  EXPECT_EQ(s.PSpaces[0][4], 9);
  EXPECT_EQ(s.PSpaces[1][4], 0);
  EXPECT_EQ(s.Scores[0], 3);
}

TEST_F(Battle2, NoRoundWhenRoundsIsZero) {
  BattleState& s = Setup({kImp, kImp});
  s.Rounds = 0;
  RunBattleWith<SilentTone>(s);
  EXPECT_EQ(s.Scores[0], 0);
  EXPECT_EQ(s.EndCycle, 0);
  EXPECT_EQ(s.PSpaces[0][0], 7999);
}

// The two-warrior round keeps the queues' counters apart while it runs: a step
// that fails hands them back as the steps left them.
TEST_F(Battle2, AFailingStepLeavesBothQueuesAsTheStepsLeftThem) {
  Tprogram splits = Program({"SPL.B $2, $0", "NOP.F $0, $0", "NOP.F $0, $0"});
  SetBMode(splits[2].InstructionWord, 8);  // no parser makes this word
  BattleState& s = Setup({splits, kImp});
  EXPECT_THROW(RunBattleWith<SilentTone>(s), Exception);  // in cycle 3, at address 2
  const ProcessQueue& q0 = s.ProcessQueues[0];
  const ProcessQueue& q1 = s.ProcessQueues[1];
  EXPECT_EQ(q0.Head, 3);
  EXPECT_EQ(q0.Tail, 4);
  EXPECT_EQ(q0.Count, 1);  // the NOP's successor; the failing process is lost
  EXPECT_EQ(q0.Entries[q0.Head], 2);
  EXPECT_EQ(q1.Head, 2);  // the imp stepped in cycles 1 and 2 only
  EXPECT_EQ(q1.Count, 1);
  EXPECT_EQ(q1.Entries[q1.Head], 346);
}

TEST_F(Battle2, ThreeAndOneWarriorScoring) {
  // (3 * 3 - 1) / survivors.
  BattleState& s = Setup({kImp, kDiesInCycle5, kImp}, 100);
  RunBattleWith<SilentTone>(s);
  EXPECT_EQ(s.AliveCount, 2);
  EXPECT_EQ(s.Scores[0], 4);
  EXPECT_EQ(s.Scores[1], 0);
  EXPECT_EQ(s.Scores[2], 4);
  EXPECT_EQ(s.PSpaces[1][0], 0);
  EXPECT_EQ(s.PSpaces[2][0], 2);

  BattleState& all = Setup({kImp, kImp, kImp}, 100);
  RunBattleWith<SilentTone>(all);
  EXPECT_EQ(all.Scores[1], 2);

  BattleState& one = Setup({kImp, kDiesInCycle5, kDiesInCycle5}, 100);
  RunBattleWith<SilentTone>(one);
  EXPECT_EQ(one.EndCycle, 5);
  EXPECT_EQ(one.Scores[0], 8);

  BattleState& alone = Setup({kImp}, 100);
  RunBattleWith<SilentTone>(alone);
  EXPECT_EQ(alone.EndCycle, 1);  // fewer than two alive ends the round at once
  EXPECT_EQ(alone.Scores[0], 3);
}

TEST_F(Battle2, TheAudibleBattleGivesTheSameResultAsTheSilentOne) {
  // The program's RunBattle plays every instruction through the tone seam;
  // here the tones go to a sound card that discards them at once.
  setenv("TONEWELL_AUDIO", "null:fast", 1);
  SoundSamples = 16;
  CreateAudioObjects();
  BattleState& s = Setup({kDiesInCycle5, kImp});
  RunBattle(s);
  FreeAudioObjects();
  EXPECT_EQ(s.EndCycle, 5);
  EXPECT_EQ(s.Scores[0], 0);
  EXPECT_EQ(s.Scores[1], 3);
}

}  // namespace
}  // namespace tw
