#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "audio/WavePlayers.h"
#include "audio/WaveStorage.h"
#include "core/ToneAudio.h"
#include "core/unit_core_execute_quillmar.h"
#include "core/unit_core_utils.h"
#include "testing/ScriptedWaveOut.h"
#include "testing/ToneTestSupport.h"

namespace tw {
namespace {

using testing::CellOf;
using testing::TonePcm;

// Creates the program's audio objects for N samples on the given sound system.
class ToneRoad : public ::testing::Test {
 protected:
  void Start(int32_t n, const std::string& audio) {
    setenv("TONEWELL_AUDIO", audio.c_str(), 1);
    SoundSamples = n;
    CreateAudioObjects();
  }
  void TearDown() override {
    if (AudioPlayer != nullptr) FreeAudioObjects();
    unsetenv("TONEWELL_AUDIO");
  }
};

TEST(ToneSynthesisTest, SampleValuesOfTheReferenceInstructions) {
  const CoreCell dat = CellOf("DAT.F $0, $0");
  ASSERT_EQ(dat.InstructionWord, 1033);
  EXPECT_EQ(TonePcm(dat, 7),
            (std::vector<int16_t>{27306, 10922, 10922, 27306, 10922, 10922, 27306}));
  const CoreCell mov = CellOf("MOV.I $0, $1");
  ASSERT_EQ(mov.InstructionWord, 3593);
  EXPECT_EQ(TonePcm(mov, 7),
            (std::vector<int16_t>{27306, 23415, 24415, 27306, 21665, 24489, 27306}));
}

TEST(ToneSynthesisTest, EveryToneStartsAndEndsAt27306AndNumbersCountModulo100) {
  std::mt19937 random(4);
  for (int k = 0; k < 200; ++k) {
    CoreCell c;
    c.InstructionWord = static_cast<uint16_t>(random());
    c.ANumber = static_cast<int16_t>(random() % 8000);
    c.BNumber = static_cast<int16_t>(random() % 8000);
    const int32_t n = 2 + static_cast<int32_t>(random() % 300);
    const auto pcm = TonePcm(c, n);
    ASSERT_EQ(pcm.front(), 27306) << k;
    ASSERT_EQ(pcm.back(), 27306) << k;
    CoreCell shifted = c;
    shifted.ANumber = static_cast<int16_t>(c.ANumber % 100 + 100 * (1 + random() % 70));
    shifted.BNumber = static_cast<int16_t>(c.BNumber % 100 + 100 * (random() % 70));
    ASSERT_EQ(TonePcm(shifted, n), pcm) << k;
  }
  CoreCell a0 = CellOf("MOV.I $0, $1"), a100 = a0, a7 = a0, a107 = a0;
  a100.ANumber = 100;
  a7.ANumber = 7;
  a107.ANumber = 107;
  EXPECT_EQ(TonePcm(a0, 500), TonePcm(a100, 500));
  EXPECT_EQ(TonePcm(a7, 500), TonePcm(a107, 500));
  EXPECT_NE(TonePcm(a0, 500), TonePcm(a7, 500));
}

TEST(ToneSynthesisTest, RoundingHalvesToEvenAndClamping) {
  const double in[] = {0.5,    1.5,     2.5,     -0.5,  -1.5,     -2.5,
                       2.4999, 32767.4, 32767.5, 40000, -32768.5, -40000};
  int16_t out[std::size(in)];
  ConvertToneSamples(in, out, static_cast<int32_t>(std::size(in)));
  EXPECT_EQ(std::vector<int16_t>(out, out + std::size(in)),
            (std::vector<int16_t>{0, 2, 2, 0, -2, -2, 2, 32767, 32767, 32767, -32768, -32768}));
}

TEST_F(ToneRoad, OneSampleIsAnInvalidFloatingPointOperation) {
  Start(1, "null:fast");
  try {
    SynthesizeTone(CellOf("DAT.F $0, $0"));
    FAIL() << "N = 1 must fail";
  } catch (const EInvalidOp& e) {
    EXPECT_EQ(ReportLine(e), "EInvalidOp: Invalid floating point operation");
  }
}

TEST_F(ToneRoad, ZeroSamplesOpenAndCloseTheDeviceWithoutSound) {
  Start(0, "null:fast");
  auto script = testing::UseScriptedWaveOut();
  SynthesizeTone(CellOf("MOV.I $0, $1"));
  EXPECT_EQ(script->Calls, (std::vector<std::string>{"open", "close"}));
  EXPECT_FALSE(AudioPlayer->Active());
  EXPECT_EQ(WaveAdapter->DataSize(), 0u);
  EXPECT_TRUE(WaveAdapter->Valid());
}

TEST_F(ToneRoad, PlaysTheToneWholeAndRemembersItForRepeats) {
  Start(1000, "null:fast");
  auto script = testing::UseScriptedWaveOut();
  const CoreCell mov = CellOf("MOV.I $0, $1");
  CoreCell same = mov;
  same.ANumber = 300;
  same.BNumber = 101;
  const auto expected = TonePcm(mov, 1000);
  for (const CoreCell& c : {mov, same, mov}) {
    script->Played.clear();
    SynthesizeTone(c);
    EXPECT_EQ(PcmSamples, expected);
    ASSERT_EQ(script->Played.size(), 1u);
    ASSERT_EQ(script->Played[0].size(), 2000u) << "500 frames";
    EXPECT_EQ(std::memcmp(script->Played[0].data(), expected.data(), 2000), 0);
    EXPECT_FALSE(AudioPlayer->Active());
  }
  EXPECT_EQ(CachedToneCount(), 1u);
  EXPECT_EQ(WaveAdapter->DataOffset(), 46u);
  EXPECT_EQ(WaveAdapter->DataSize(), 2000u);
}

TEST_F(ToneRoad, ARefusedFormatIsReportedAndNothingIsPlayed) {
  Start(100, "null:fast");
  auto script = testing::UseScriptedWaveOut();
  script->QueryResult = WAVERR_BADFORMAT;
  try {
    SynthesizeTone(CellOf("MOV.I $0, $1"));
    FAIL() << "a refused format must end the tone with a failure";
  } catch (const EWaveAudioSysError& e) {
    EXPECT_EQ(ReportLine(e).rfind("EWaveAudioSysError: ", 0), 0u);
  }
  EXPECT_TRUE(script->Played.empty());
  EXPECT_FALSE(AudioPlayer->Active());
}

std::vector<char> WavData(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (size_t at = 12; at + 8 <= bytes.size();) {
    uint32_t size;
    std::memcpy(&size, &bytes[at + 4], 4);
    if (std::memcmp(&bytes[at], "data", 4) == 0) {
      return std::vector<char>(bytes.begin() + at + 8,
                               bytes.begin() + std::min<size_t>(bytes.size(), at + 8 + size));
    }
    at += 8 + size + (size & 1);
  }
  return {};
}

TEST_F(ToneRoad, ABattleIsHeardInExecutionOrder) {
  const std::string path = std::string(TONEWELL_BINARY_DIR) + "/tone_battle_test.wav";
  std::remove(path.c_str());
  const int32_t n = 40;
  Start(n, "wav:" + path);

  // A dwarf and an imp spawner that splits, so processes interleave.
  CoreMemory core;
  core.fill(CellOf("DAT.F $0, $0"));
  const char* dwarf[] = {"ADD.AB #4, $3", "MOV.I $2, @2", "JMP.B $-2, $0", "DAT.F #0, #0"};
  const char* other[] = {"SPL.B $2, $0", "MOV.I $0, $1", "SUB.AB #1, $-1", "JMP.B $-2, $7"};
  for (int i = 0; i < 4; ++i) {
    core[i] = CellOf(dwarf[i]);
    core[4000 + i] = CellOf(other[i]);
  }
  ProcessQueue q1, q2;
  ResetQueue(q1);
  ResetQueue(q2);
  PushProcess(q1, 0);
  PushProcess(q2, 4000);
  PSpace p1{}, p2{};

  // The silent twin tells which cell each step fetches.
  CoreMemory twin = core;
  ProcessQueue t1 = q1, t2 = q2;
  PSpace s1 = p1, s2 = p2;
  std::vector<int16_t> expected;
  for (int cycle = 0; cycle < 40; ++cycle) {
    for (auto [q, ps] : {std::pair{&t1, &s1}, std::pair{&t2, &s2}}) {
      if (q->Count == 0) continue;
      const auto tone = TonePcm(twin[q->Entries[q->Head]], n);
      expected.insert(expected.end(), tone.begin(), tone.end());
      ExecuteStepWith<SilentTone>(twin, *q, *ps);
    }
  }
  for (int cycle = 0; cycle < 40; ++cycle) {
    ExecuteStep(core, q1, p1);
    ExecuteStep(core, q2, p2);
  }
  ASSERT_EQ(core, twin);
  const auto data = WavData(path);
  ASSERT_EQ(data.size(), expected.size() * 2);
  EXPECT_EQ(std::memcmp(data.data(), expected.data(), data.size()), 0);
  EXPECT_GT(CachedToneCount(), 3u);
}

TEST_F(ToneRoad, NegativeSampleCountIsARangeErrorBeforeAnythingIsMade) {
  SoundSamples = -5;
  try {
    CreateAudioObjects();
    FAIL();
  } catch (const ERangeError& e) {
    EXPECT_EQ(ReportLine(e), "ERangeError: Range check error");
  }
  EXPECT_EQ(AudioPlayer, nullptr);
}

}  // namespace
}  // namespace tw
