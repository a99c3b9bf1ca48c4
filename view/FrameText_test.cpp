#include "view/FrameText.h"

#include <gtest/gtest.h>

#include <cstring>

#include "view/ViewSetting.h"

namespace tw {
namespace {

BattleDescription Description(bool unpaced) {
  BattleDescription d;
  d.Names = {"Mice", "Piper"};
  d.CycleLimit = 80000;
  d.CoreCells = 8000;
  d.SecondsPerTone = 1000 / 88200.0;
  d.Unpaced = unpaced;
  return d;
}

BattleSnapshot Moment() {
  BattleSnapshot s;
  s.Cycle = 5123;
  s.Tones = 10245;
  s.WarriorCount = 2;
  s.Warriors[0] = {8, 120};
  s.Warriors[1] = {1, 7999};
  s.HeardWarrior = 1;
  s.HeardAddress = 344;
  std::strcpy(s.Heard.data(), "MOV.I $0, $1");
  s.Writers.assign(8000, 0);
  return s;
}

TEST(ViewSetting, FormsAndChoice) {
  EXPECT_EQ(ParseViewSetting(nullptr), ViewSetting::kAuto);
  EXPECT_EQ(ParseViewSetting(""), ViewSetting::kAuto);
  EXPECT_EQ(ParseViewSetting("auto"), ViewSetting::kAuto);
  EXPECT_EQ(ParseViewSetting("core"), ViewSetting::kCore);
  EXPECT_EQ(ParseViewSetting("line"), ViewSetting::kLine);
  EXPECT_EQ(ParseViewSetting("off"), ViewSetting::kOff);
  try {
    ParseViewSetting("Core");
    FAIL() << "accepted";
  } catch (const EViewSettingError& e) {
    EXPECT_STREQ(e.ClassName(), "EViewSettingError");
    EXPECT_STREQ(
        e.Message(),
        "Unknown TONEWELL_VIEW value \"Core\" (accepted: unset, \"\", auto, core, line, off)");
  }
  // auto draws only on a real terminal; forced views fall back to plain lines.
  EXPECT_EQ(ChooseViewKind(ViewSetting::kAuto, true, "xterm"), ViewKind::kCore);
  EXPECT_EQ(ChooseViewKind(ViewSetting::kAuto, false, "xterm"), ViewKind::kNone);
  EXPECT_EQ(ChooseViewKind(ViewSetting::kAuto, true, "dumb"), ViewKind::kNone);
  EXPECT_EQ(ChooseViewKind(ViewSetting::kAuto, true, nullptr), ViewKind::kNone);
  EXPECT_EQ(ChooseViewKind(ViewSetting::kCore, false, "xterm"), ViewKind::kPlain);
  EXPECT_EQ(ChooseViewKind(ViewSetting::kLine, true, "xterm"), ViewKind::kLine);
  EXPECT_EQ(ChooseViewKind(ViewSetting::kLine, true, "dumb"), ViewKind::kPlain);
  EXPECT_EQ(ChooseViewKind(ViewSetting::kOff, true, "xterm"), ViewKind::kNone);
}

TEST(FrameText, TheCoreFillsTheMapArea) {
  // 80 x 22: 1760 characters, so 5 cells each, 1600 characters on 20 rows.
  MapLayout l = LayoutMap(8000, 22, 80);
  EXPECT_EQ(l.CellsPerChar, 5);
  EXPECT_EQ(l.Chars, 1600);
  EXPECT_EQ(l.Rows, 20);
  // Room for every cell: one each, 40 rows of 200.
  l = LayoutMap(8000, 58, 200);
  EXPECT_EQ(l.CellsPerChar, 1);
  EXPECT_EQ(l.Rows, 40);
  // A tiny window still shows the whole core, and no window shows nothing.
  l = LayoutMap(8000, 1, 10);
  EXPECT_EQ(l.CellsPerChar, 800);
  EXPECT_EQ(l.Chars, 10);
  EXPECT_EQ(LayoutMap(8000, 0, 80).Chars, 0);
}

TEST(FrameText, MapCharactersShowWritersAndNextInstructions) {
  BattleSnapshot s = Moment();
  // Character 0 (cells 0..4): two of Mice, three of Piper; character 1: one
  // of Mice among untouched cells; character 24 holds Mice's next
  // instruction (120); the last one Piper's (7999).
  s.Writers[0] = s.Writers[1] = 1;
  s.Writers[2] = s.Writers[3] = s.Writers[4] = 2;
  s.Writers[7] = 1;
  std::vector<MapGlyph> map;
  ComposeMap(s, LayoutMap(8000, 22, 80), map);
  ASSERT_EQ(map.size(), 1600u);
  EXPECT_EQ(map[0].Char, WriterGlyph(1));
  EXPECT_EQ(map[1].Char, WriterGlyph(0));
  EXPECT_EQ(map[2].Char, UntouchedGlyph);
  EXPECT_EQ(map[2].Owner, -1);
  EXPECT_EQ(map[24].Char, NextGlyph(0));
  EXPECT_TRUE(map[24].Next);
  EXPECT_EQ(map[1599].Char, NextGlyph(1));
  // The glyphs stay apart in a capture without colours.
  const std::string glyphs = {UntouchedGlyph, WriterGlyph(0), WriterGlyph(1), WriterGlyph(2),
                              NextGlyph(0),   NextGlyph(1),   NextGlyph(2)};
  for (std::size_t i = 0; i < glyphs.size(); ++i) {
    EXPECT_EQ(glyphs.find(glyphs[i]), i) << glyphs;
  }
}

TEST(FrameText, StatusLines) {
  const BattleSnapshot s = Moment();
  FrameFigures f;
  f.CyclesPerSecond = 812345;
  EXPECT_EQ(StatusLine(Description(false), s, 200),
            "Cycle 5123 of 80000  o Mice: 8 processes  x Piper: 1 process  sound 1:56.1");
  EXPECT_EQ(StatusLine(Description(false), s, 60), "5123/80000  o Mice 8  x Piper 1  1:56.1");
  // Paced: no progress bar and no speed.
  EXPECT_EQ(HeardLine(Description(false), s, f, 100), "Heard x Piper @344: MOV.I $0, $1");
  const std::string unpaced = HeardLine(Description(true), s, f, 100);
  EXPECT_EQ(unpaced.size(), 100u);
  EXPECT_EQ(unpaced.rfind("Heard x Piper @344: MOV.I $0, $1 ", 0), 0u) << unpaced;
  EXPECT_NE(unpaced.find(" [=> "), std::string::npos) << unpaced;
  EXPECT_TRUE(unpaced.ends_with("6%  812k cycles/s")) << unpaced;
  EXPECT_EQ(CompactLine(Description(false), s, f, 200),
            "5123/80000  o Mice 8  x Piper 1  x MOV.I $0, $1  1:56.1");
  BattleSnapshot over = s;
  over.Finished = true;
  EXPECT_EQ(CompactLine(Description(false), over, f, 200),
            "5123/80000  o Mice 8  x Piper 1  battle over  1:56.1");
  over.Interrupted = true;
  EXPECT_EQ(HeardLine(Description(false), over, f, 200), "Heard interrupted");
  // Nothing is ever wider than asked.
  for (int width : {0, 1, 10, 39, 80}) {
    EXPECT_LE(StatusLine(Description(true), s, width).size(), static_cast<std::size_t>(width));
    EXPECT_LE(HeardLine(Description(true), s, f, width).size(), static_cast<std::size_t>(width));
    EXPECT_LE(CompactLine(Description(true), s, f, width).size(), static_cast<std::size_t>(width));
  }
}

TEST(FrameText, Figures) {
  EXPECT_EQ(FormatSoundTime(0), "0:00.0");
  EXPECT_EQ(FormatSoundTime(115.67), "1:55.6");
  EXPECT_EQ(FormatSoundTime(3723.9), "1:02:03");
  EXPECT_EQ(FormatRate(45), "45 cycles/s");
  EXPECT_EQ(FormatRate(812345), "812k cycles/s");
  EXPECT_EQ(FormatRate(1254000), "1.25M cycles/s");
  EXPECT_EQ(ProgressBar(0, 16), "[>        ]   0%");
  EXPECT_EQ(ProgressBar(0.5, 16), "[====>    ]  50%");
  EXPECT_EQ(ProgressBar(1, 16), "[=========] 100%");
  EXPECT_EQ(ProgressBar(2, 16).size(), 16u);
}

}  // namespace
}  // namespace tw
