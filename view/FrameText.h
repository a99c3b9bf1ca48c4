#pragma once
// The text of a frame, composed from a snapshot without touching a
// terminal: the status lines and the core map's glyphs. The screens in
// CursesScreen / LineScreen put them on the terminal.

#include <cstdint>
#include <string>
#include <vector>

#include "view/BattleSnapshot.h"

namespace tw {

// Figures measured between snapshots by the view itself.
struct FrameFigures {
  double CyclesPerSecond = 0;  // 0 until measured
};

// Glyphs of the map, per warrior w (0..2): a cell last written by w, and
// w's next instruction. Untouched cells are '.'. Chosen to stay apart in a
// text capture of the screen, where colours are lost.
char WriterGlyph(int warrior);
char NextGlyph(int warrior);
inline constexpr char UntouchedGlyph = '.';

// One character of the map: its glyph, whose it is (-1: untouched) and
// whether it holds a warrior's next instruction.
struct MapGlyph {
  char Char = UntouchedGlyph;
  std::int8_t Owner = -1;
  bool Next = false;
};

// How the core's cells fill a map area of `rows` x `cols` characters:
// CellsPerChar consecutive cells per character (as few as fit), Chars
// characters in all, laid out row by row over Rows rows. An area too small
// for even one character gives Chars 0.
struct MapLayout {
  int CellsPerChar = 1;
  int Chars = 0;
  int Rows = 0;
  int Cols = 0;
};
MapLayout LayoutMap(int cells, int rows, int cols);

// The map's characters (layout.Chars of them). A character stands for its
// cells: the next instruction of a warrior among them marks it (warrior 0
// first); otherwise it shows the warrior that last wrote most of them, or
// untouched when none was written.
void ComposeMap(const BattleSnapshot& snapshot, const MapLayout& layout,
                std::vector<MapGlyph>& out);

// "1:55.6" (minutes, seconds with one decimal); "1:02:03" from an hour on.
std::string FormatSoundTime(double seconds);
// "812k cycles/s", "1.25M cycles/s", "45 cycles/s".
std::string FormatRate(double cycles_per_second);
// "[=====>    ] 41%" in exactly `width` characters (at least 8).
std::string ProgressBar(double fraction, int width);

// The two status lines of the core view and the one line of the line view,
// each at most `width` characters:
//   "Cycle 5123 of 80000  o Mice: 8 processes  x Piper: 1 process  sound 1:55.6"
//   (or "5123/80000  o Mice 8  x Piper 1  1:55.6" where that is too wide)
//   "Heard x Piper @344: MOV.I $0, $1          [====>     ] 6%  812k cycles/s"
//   "5123/80000  o Mice 8  x Piper 1  x MOV.I $0, $1  1:55.6  [==> ] 6% 812k cycles/s"
// The progress bar and the speed appear only when the output is unpaced.
std::string StatusLine(const BattleDescription& d, const BattleSnapshot& s, int width);
std::string HeardLine(const BattleDescription& d, const BattleSnapshot& s, const FrameFigures& f,
                      int width);
std::string CompactLine(const BattleDescription& d, const BattleSnapshot& s, const FrameFigures& f,
                        int width);

}  // namespace tw
