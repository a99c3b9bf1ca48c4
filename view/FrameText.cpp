#include "view/FrameText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tw {

namespace {

constexpr char kWriterGlyphs[ViewMaxWarriors] = {'o', 'x', '+'};
constexpr char kNextGlyphs[ViewMaxWarriors] = {'O', 'X', '#'};

std::string Fit(std::string text, int width) {
  if (width <= 0) return {};
  if (static_cast<int>(text.size()) > width) text.resize(static_cast<std::size_t>(width));
  return text;
}

std::string NameOf(const BattleDescription& d, int w) {
  return w < static_cast<int>(d.Names.size()) ? d.Names[w] : "warrior " + std::to_string(w + 1);
}

double SoundSeconds(const BattleDescription& d, const BattleSnapshot& s) {
  return static_cast<double>(s.Tones) * d.SecondsPerTone;
}

// Left text, then the right text flush with the right edge when both fit;
// otherwise the left text alone, cut to the width.
std::string Spread(const std::string& left, const std::string& right, int width) {
  const int room = width - static_cast<int>(left.size()) - static_cast<int>(right.size());
  if (right.empty() || room < 2) return Fit(left, width);
  return left + std::string(static_cast<std::size_t>(room), ' ') + right;
}

std::string HeardText(const BattleDescription& d, const BattleSnapshot& s, bool named) {
  if (s.Finished) return s.Interrupted ? "interrupted" : "battle over";
  if (s.HeardWarrior < 0 || s.HeardWarrior >= ViewMaxWarriors) return "waiting for the first tone";
  std::string text(1, WriterGlyph(s.HeardWarrior));
  if (named) {
    text += ' ';
    text += NameOf(d, s.HeardWarrior);
    text += " @";
    text += std::to_string(s.HeardAddress);
    text += ':';
  }
  text += ' ';
  text += s.Heard.data();
  return text;
}

std::string SpeedText(const BattleDescription& d, const BattleSnapshot& s, const FrameFigures& f,
                      int bar_width) {
  if (!d.Unpaced || d.CycleLimit <= 0) return {};
  const double fraction = static_cast<double>(s.Cycle) / d.CycleLimit;
  std::string text = ProgressBar(fraction, bar_width);
  if (f.CyclesPerSecond > 0) text += "  " + FormatRate(f.CyclesPerSecond);
  return text;
}

}  // namespace

char WriterGlyph(int warrior) {
  return warrior >= 0 && warrior < ViewMaxWarriors ? kWriterGlyphs[warrior] : '?';
}

char NextGlyph(int warrior) {
  return warrior >= 0 && warrior < ViewMaxWarriors ? kNextGlyphs[warrior] : '?';
}

MapLayout LayoutMap(int cells, int rows, int cols) {
  MapLayout layout;
  if (cells <= 0 || rows <= 0 || cols <= 0) return layout;
  const long area = static_cast<long>(rows) * cols;
  layout.CellsPerChar = static_cast<int>((cells + area - 1) / area);
  layout.Chars = (cells + layout.CellsPerChar - 1) / layout.CellsPerChar;
  layout.Cols = cols;
  layout.Rows = (layout.Chars + cols - 1) / cols;
  return layout;
}

void ComposeMap(const BattleSnapshot& snapshot, const MapLayout& layout,
                std::vector<MapGlyph>& out) {
  out.assign(static_cast<std::size_t>(layout.Chars), MapGlyph{});
  const int cells = static_cast<int>(snapshot.Writers.size());
  const int k = layout.CellsPerChar;
  const std::uint8_t* writers = snapshot.Writers.data();
  for (int c = 0; c < layout.Chars; ++c) {
    const int first = c * k;
    const int last = std::min(first + k, cells);
    int counts[ViewMaxWarriors + 1] = {};
    for (int i = first; i < last; ++i) {
      const unsigned owner = writers[i];
      counts[owner <= ViewMaxWarriors ? owner : 0]++;
    }
    int best = 0;
    for (int w = 1; w <= ViewMaxWarriors; ++w) {
      if (counts[w] > counts[best] || (best == 0 && counts[w] > 0)) best = w;
    }
    if (best > 0)
      out[static_cast<std::size_t>(c)] = {WriterGlyph(best - 1), static_cast<std::int8_t>(best - 1),
                                          false};
  }
  // Markers last, warrior 0 on top.
  for (int w = std::min(snapshot.WarriorCount, ViewMaxWarriors) - 1; w >= 0; --w) {
    const std::int32_t next = snapshot.Warriors[static_cast<std::size_t>(w)].NextAddress;
    if (next < 0 || next >= cells) continue;
    const int c = next / k;
    if (c < layout.Chars)
      out[static_cast<std::size_t>(c)] = {NextGlyph(w), static_cast<std::int8_t>(w), true};
  }
}

std::string FormatSoundTime(double seconds) {
  if (!(seconds >= 0)) seconds = 0;
  char text[32];
  if (seconds < 3600) {
    const long tenths = std::lround(std::floor(seconds * 10));
    std::snprintf(text, sizeof text, "%ld:%02ld.%ld", tenths / 600, (tenths / 10) % 60,
                  tenths % 10);
  } else {
    const long whole = std::lround(std::floor(seconds));
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, (whole / 60) % 60,
                  whole % 60);
  }
  return text;
}

std::string FormatRate(double cycles_per_second) {
  char text[32];
  if (cycles_per_second >= 1e6) {
    std::snprintf(text, sizeof text, "%.2fM cycles/s", cycles_per_second / 1e6);
  } else if (cycles_per_second >= 1e4) {
    std::snprintf(text, sizeof text, "%.0fk cycles/s", cycles_per_second / 1e3);
  } else {
    std::snprintf(text, sizeof text, "%.0f cycles/s", cycles_per_second);
  }
  return text;
}

std::string ProgressBar(double fraction, int width) {
  width = std::max(width, 8);
  fraction = std::clamp(fraction, 0.0, 1.0);
  char percent[8];
  std::snprintf(percent, sizeof percent, " %3d%%", static_cast<int>(fraction * 100));
  const int inner = width - 2 - static_cast<int>(std::char_traits<char>::length(percent));
  std::string bar = "[";
  const int filled = static_cast<int>(fraction * inner);
  for (int i = 0; i < inner; ++i) bar += i < filled ? '=' : (i == filled ? '>' : ' ');
  if (filled >= inner) bar.back() = '=';
  return bar + "]" + percent;
}

std::string StatusLine(const BattleDescription& d, const BattleSnapshot& s, int width) {
  const std::string sound = FormatSoundTime(SoundSeconds(d, s));
  std::string text = "Cycle " + std::to_string(s.Cycle) + " of " + std::to_string(d.CycleLimit);
  std::string brief = std::to_string(s.Cycle) + "/" + std::to_string(d.CycleLimit);
  for (int w = 0; w < s.WarriorCount && w < ViewMaxWarriors; ++w) {
    const std::int32_t n = s.Warriors[static_cast<std::size_t>(w)].Processes;
    text += "  ";
    text += WriterGlyph(w);
    text += ' ';
    text += NameOf(d, w);
    text += ": ";
    text += std::to_string(n);
    text += n == 1 ? " process" : " processes";
    brief += "  ";
    brief += WriterGlyph(w);
    brief += ' ';
    brief += NameOf(d, w);
    brief += ' ';
    brief += std::to_string(n);
  }
  text += "  sound " + sound;
  brief += "  " + sound;
  // The brief form where the full one does not fit.
  return Fit(static_cast<int>(text.size()) <= width ? text : brief, width);
}

std::string HeardLine(const BattleDescription& d, const BattleSnapshot& s, const FrameFigures& f,
                      int width) {
  const std::string left = "Heard " + HeardText(d, s, true);
  const int bar = std::clamp(width / 3, 12, 42);
  return Spread(left, SpeedText(d, s, f, bar), width);
}

std::string CompactLine(const BattleDescription& d, const BattleSnapshot& s, const FrameFigures& f,
                        int width) {
  std::string text = std::to_string(s.Cycle) + "/" + std::to_string(d.CycleLimit);
  for (int w = 0; w < s.WarriorCount && w < ViewMaxWarriors; ++w) {
    text += "  ";
    text += WriterGlyph(w);
    text += ' ';
    text += NameOf(d, w);
    text += ' ';
    text += std::to_string(s.Warriors[static_cast<std::size_t>(w)].Processes);
  }
  text += "  " + HeardText(d, s, false) + "  " + FormatSoundTime(SoundSeconds(d, s));
  const std::string speed = SpeedText(d, s, f, 22);
  if (!speed.empty()) text += "  " + speed;
  return Fit(text, width);
}

}  // namespace tw
