// The page's battle against the console's: the same ends and scores as the
// reference over corpus pairs, the same samples as the console's battle loop
// playing every tone, and the console's report lines for failures.
#include "web/BattleStream.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/ToneSynthesis.h"
#include "core/unit_core_program_utils.h"
#include "core/unit_random_warrior_position_generator.h"
#include "driver/BattleLoop.h"
#include "driver/RunText.h"
#include "testing/CorpusDir.h"

namespace tw::web {
namespace {

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

WarriorSource Example(const std::string& name) {
  const std::filesystem::path path = std::filesystem::path(TONEWELL_SOURCE_DIR) / "examples" / name;
  return {ReadFile(path), name};
}

// Runs the stream to its end, `chunk` samples per call; returns the samples.
std::vector<std::int16_t> Drain(BattleStream& stream, std::int32_t chunk) {
  std::vector<std::int16_t> all;
  std::vector<std::int16_t> piece(static_cast<std::size_t>(chunk));
  while (stream.Phase() == StreamPhase::kPlaying) {
    const std::int32_t n = stream.Render(piece.data(), chunk);
    all.insert(all.end(), piece.begin(), piece.begin() + n);
  }
  return all;
}

// The console's tones in the order its battle loop plays them, as its outputs
// play and record them.
std::int32_t RecordedSamples = 0;
std::vector<std::int16_t>* Recorded = nullptr;
struct RecordingTone {
  static void Play(const CoreCell& cell) {
    std::vector<double> samples(static_cast<std::size_t>(RecordedSamples));
    std::vector<std::int16_t> pcm(static_cast<std::size_t>(RecordedSamples));
    ComputeTonePcm(cell, samples.data(), pcm.data(), RecordedSamples);
    // The outputs play whole stereo frames: an odd tone's last sample is not heard.
    Recorded->insert(Recorded->end(), pcm.begin(), pcm.end() - RecordedSamples % 2);
  }
};

TEST(BattleStream, SamplesAreTheConsoleLoopsTonesInOrder) {
  for (const std::int32_t n : {37, 1000}) {
    const WarriorSource w1 = Example("Countdown.red");
    const WarriorSource w2 = Example("Crawler.red");
    auto console = std::make_unique<BattleState>();
    std::vector<std::int16_t> expected;
    RecordedSamples = n;
    Recorded = &expected;
    LoadWarriorText(w1.Text, w1.FileName, console->Programs[0], console->StartOffsets[0]);
    LoadWarriorText(w2.Text, w2.FileName, console->Programs[1], console->StartOffsets[1]);
    console->WarriorCount = 2;
    console->Rounds = 1;
    console->Cycles = 80000;
    RandomSeed = 0;
    RunBattleWith<RecordingTone>(*console);

    auto stream = std::make_unique<BattleStream>();
    ASSERT_EQ(stream->Start(w1, w2, WarriorReader::kLoadForm, n), StreamPhase::kPlaying);
    // Pieces that end inside tones and inside frames.
    const std::vector<std::int16_t> got = Drain(*stream, 257);
    EXPECT_EQ(stream->Phase(), StreamPhase::kFinished);
    EXPECT_EQ(got, expected) << "N " << n;
    EXPECT_EQ(stream->State().Scores, console->Scores);
    EXPECT_EQ(stream->State().EndCycle, console->EndCycle);
    EXPECT_EQ(stream->Output(), BannerLines());
    EXPECT_EQ(stream->FinishLines(3.456),
              "Warrior[0].Score: " + std::to_string(console->Scores[0]) +
                  "\nWarrior[1].Score: " + std::to_string(console->Scores[1]) +
                  "\nSeconds:           3.46\nprogram finished\n");
  }
}

TEST(BattleStream, CorpusPairsEndAndScoreAsTheReference) {
  const std::filesystem::path corpus = CorpusDir();
  std::ifstream table(corpus / "expected_r1_F344.tsv");
  if (!table) GTEST_SKIP() << "corpus not found at " << corpus.string();
  std::string line;
  std::getline(table, line);  // header
  auto stream = std::make_unique<BattleStream>();
  int compared = 0;
  for (int row = 0; std::getline(table, line); ++row) {
    if (row % 211 != 5) continue;
    std::istringstream fields(line);
    std::string a, b;
    int score0 = 0, score1 = 0, wins = 0, losses = 0, ties = 0, end_cycle = 0;
    fields >> a >> b >> score0 >> score1 >> wins >> losses >> ties >> end_cycle;
    const WarriorSource w1{ReadFile(corpus / (a + ".red")), a + ".red"};
    const WarriorSource w2{ReadFile(corpus / (b + ".red")), b + ".red"};
    stream->Start(w1, w2, WarriorReader::kLoadForm, 0);
    Drain(*stream, 64);
    ASSERT_EQ(stream->Phase(), StreamPhase::kFinished) << a << " vs " << b;
    EXPECT_EQ(stream->State().Scores[0], score0) << a << " vs " << b;
    EXPECT_EQ(stream->State().Scores[1], score1) << a << " vs " << b;
    EXPECT_EQ(stream->State().EndCycle, end_cycle) << a << " vs " << b;
    ++compared;
  }
  EXPECT_GE(compared, 90);
}

TEST(BattleStream, FailuresEndWithTheConsolesReportLines) {
  BattleStream stream;
  const WarriorSource piper = Example("Piper.red");
  const struct {
    WarriorSource w1;
    WarriorReader reader;
    std::int32_t samples;
    std::string report;
    std::string details;
  } cases[] = {
      {piper, WarriorReader::kLoadForm, -1, "ERangeError: Range check error\n", ""},
      {piper, WarriorReader::kLoadForm, 1, "EInvalidOp: Invalid floating point operation\n", ""},
      {{";redcode-94\nstart MOV.I $0 $1\n", "bad.red"},
       WarriorReader::kLoadForm,
       100,
       "Exception: Failed to find comma\n",
       "Warrior file \"bad.red\", line 2: start MOV.I $0 $1\n"},
      {{";redcode-94\n  mov bomb, 1\n", "bad.red"},
       WarriorReader::kSource,
       100,
       "ERedcodeSourceError: bad.red:2:7: undefined symbol \"bomb\"\n",
       "Warrior file \"bad.red\", line 2, column 7:\n  mov bomb, 1\n      ^\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(stream.Start(c.w1, piper, c.reader, c.samples), StreamPhase::kFailed);
    EXPECT_EQ(stream.Output(), BannerLines() + c.report);
    EXPECT_EQ(stream.Details(), c.details);
    std::int16_t out[4];
    EXPECT_EQ(stream.Render(out, 4), 0);
  }
}

}  // namespace
}  // namespace tw::web
