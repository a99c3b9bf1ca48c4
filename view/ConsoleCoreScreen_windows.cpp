// The core view on the Windows console: the status lines and the core map
// in a screen buffer of the view's own, shown instead of the user's while the
// battle runs (the console's counterpart of a terminal's alternate screen)
// and taken away at the end, so the user's screen comes back with its text,
// cursor and modes as they were. Drawn through the console's own functions
// (cells with colour attributes), which every Windows console takes, with or
// without escape sequences; a console that only claims to take escape
// sequences (Wine's, drawing on a terminal) draws cells correctly too.

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "view/ViewScreen.h"
// After ours: windows.h defines macros with the names of some of our constants.
#include "view/Console_windows.h"

namespace tw {
namespace {

constexpr int kStatusRows = 2;

// The view's colour attributes, made from the user's own: their background
// stays, the warriors' cells take bright colours on it (as on Linux: cyan,
// yellow, magenta), a next instruction and the status line are reversed.
struct Palette {
  WORD normal = 0;
  WORD status = 0;
  WORD untouched = 0;
  std::array<WORD, ViewMaxWarriors> writer{};
  std::array<WORD, ViewMaxWarriors> next{};
};

WORD Reversed(WORD foreground, WORD background) {
  return static_cast<WORD>((foreground << 4) | (background >> 4));
}

Palette PaletteFor(WORD user) {
  constexpr std::array<WORD, ViewMaxWarriors> kColours = {
      FOREGROUND_GREEN | FOREGROUND_BLUE | FOREGROUND_INTENSITY,
      FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_INTENSITY,
      FOREGROUND_RED | FOREGROUND_BLUE | FOREGROUND_INTENSITY};
  const WORD foreground = user & 0x0F;
  const WORD background = user & 0xF0;
  Palette p;
  p.normal = static_cast<WORD>(foreground | background);
  p.status = Reversed(foreground, background);
  // Dark grey; where that is the background itself, the user's own colour.
  p.untouched = static_cast<WORD>(
      background | ((background >> 4) == FOREGROUND_INTENSITY ? foreground : FOREGROUND_INTENSITY));
  for (std::size_t w = 0; w < kColours.size(); ++w) {
    p.writer[w] = static_cast<WORD>(background | kColours[w]);
    p.next[w] = Reversed(kColours[w], background);
  }
  return p;
}

bool SameCell(const CHAR_INFO& a, const CHAR_INFO& b) {
  return a.Char.UnicodeChar == b.Char.UnicodeChar && a.Attributes == b.Attributes;
}

class ConsoleCoreScreen : public ViewScreen {
 public:
  ConsoleCoreScreen() = default;
  ~ConsoleCoreScreen() override { Close(); }

  // Shows a screen buffer of the view's own instead of the active one;
  // false when the console refuses (what was made is let go again).
  bool Open() {
    // A handle of the user's screen buffer itself, to show it again at the
    // end: the standard handles may stand for whichever buffer is active
    // (those of Wine's consoles on a terminal do).
    user_ = Handle(::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                 nullptr));
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (user_ == nullptr || !::GetConsoleScreenBufferInfo(user_, &info)) return false;
    palette_ = PaletteFor(info.wAttributes);
    screen_ = Handle(::CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                 CONSOLE_TEXTMODE_BUFFER, nullptr));
    if (screen_ == nullptr) return false;
    ::SetConsoleTextAttribute(screen_, palette_.normal);
    const CONSOLE_CURSOR_INFO hidden{25, FALSE};
    ::SetConsoleCursorInfo(screen_, &hidden);
    if (!::SetConsoleActiveScreenBuffer(screen_)) return false;
    shown_ = true;
    return true;
  }

  std::chrono::milliseconds FrameInterval() const override {
    return std::chrono::milliseconds(34);  // under 30 frames a second, as on Linux
  }

  void Draw(const BattleDescription& d, const BattleSnapshot& s, const FrameFigures& f) override {
    if (!shown_ || !FollowWindow()) return;
    PutText(0, StatusLine(d, s, cols_), palette_.status);
    if (rows_ > 1) PutText(1, HeardLine(d, s, f, cols_), palette_.normal);
    PutMap(d, s);
    PutOut();
  }

  void Finish(const BattleDescription&, const BattleSnapshot&, const FrameFigures&) override {
    Close();
  }

 private:
  static HANDLE Handle(HANDLE h) { return h == INVALID_HANDLE_VALUE ? nullptr : h; }

  // The window's size and place in the view's buffer, asked at every frame:
  // a resized window (or one scrolled elsewhere) is drawn anew at once.
  bool FollowWindow() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!::GetConsoleScreenBufferInfo(screen_, &info)) return false;
    const SMALL_RECT w = info.srWindow;
    const int cols = w.Right - w.Left + 1;
    const int rows = w.Bottom - w.Top + 1;
    if (cols <= 0 || rows <= 0) return false;
    if (cols != cols_ || rows != rows_ || w.Left != window_.Left || w.Top != window_.Top) {
      cols_ = cols;
      rows_ = rows;
      window_ = w;
      frame_.assign(static_cast<std::size_t>(cols) * rows, Blank());
      // Nothing the console shows equals a cell of this: every cell goes out.
      CHAR_INFO unknown{};
      unknown.Attributes = 0xFFFF;
      onScreen_.assign(frame_.size(), unknown);
    }
    return true;
  }

  CHAR_INFO Blank() const {
    CHAR_INFO c{};
    c.Char.UnicodeChar = L' ';
    c.Attributes = palette_.normal;
    return c;
  }

  // Padded rather than cleared, so a reversed bar spans the whole width.
  void PutText(int row, const std::string& text, WORD attributes) {
    CHAR_INFO* cells = &frame_[static_cast<std::size_t>(row) * cols_];
    for (int x = 0; x < cols_; ++x) {
      const std::size_t i = static_cast<std::size_t>(x);
      cells[x].Char.UnicodeChar = i < text.size() ? static_cast<unsigned char>(text[i]) : L' ';
      cells[x].Attributes = attributes;
    }
  }

  void PutMap(const BattleDescription& d, const BattleSnapshot& s) {
    const MapLayout layout = LayoutMap(d.CoreCells, rows_ - kStatusRows, cols_);
    ComposeMap(s, layout, glyphs_);
    const std::size_t first = static_cast<std::size_t>(kStatusRows) * cols_;
    for (std::size_t i = first; i < frame_.size(); ++i) {
      const std::size_t c = i - first;
      frame_[i] = c < glyphs_.size() ? Cell(glyphs_[c]) : Blank();
    }
  }

  CHAR_INFO Cell(const MapGlyph& g) const {
    CHAR_INFO c{};
    c.Char.UnicodeChar = static_cast<unsigned char>(g.Char);
    if (g.Owner < 0) {
      c.Attributes = palette_.untouched;
    } else {
      const auto w = static_cast<std::size_t>(g.Owner);
      c.Attributes = g.Next ? palette_.next[w] : palette_.writer[w];
    }
    return c;
  }

  // The columns of `row` that differ from what the console shows; false
  // when none does.
  bool Changed(int row, int& left, int& right) const {
    const std::size_t base = static_cast<std::size_t>(row) * cols_;
    left = 0;
    while (left < cols_ && SameCell(frame_[base + left], onScreen_[base + left])) ++left;
    if (left == cols_) return false;
    right = cols_ - 1;
    while (SameCell(frame_[base + right], onScreen_[base + right])) --right;
    return true;
  }

  // What changed goes out, one call per run of changed rows (each call is a
  // round trip to the console, and on a console that draws on a terminal,
  // every cell it is given is drawn again).
  void PutOut() {
    for (int top = 0; top < rows_;) {
      int left = cols_, right = -1, bottom = top;
      for (int l = 0, r = 0; bottom < rows_ && Changed(bottom, l, r); ++bottom) {
        left = std::min(left, l);
        right = std::max(right, r);
      }
      if (bottom == top) {
        ++top;
        continue;
      }
      const std::size_t base = static_cast<std::size_t>(top) * cols_;
      SMALL_RECT region{
          static_cast<SHORT>(window_.Left + left), static_cast<SHORT>(window_.Top + top),
          static_cast<SHORT>(window_.Left + right), static_cast<SHORT>(window_.Top + bottom - 1)};
      ::WriteConsoleOutputW(screen_, frame_.data() + base,
                            COORD{static_cast<SHORT>(cols_), static_cast<SHORT>(bottom - top)},
                            COORD{static_cast<SHORT>(left), 0}, &region);
      const std::size_t end = static_cast<std::size_t>(bottom) * cols_;
      std::copy(frame_.begin() + base, frame_.begin() + end, onScreen_.begin() + base);
      top = bottom;
    }
  }

  void Close() {
    if (shown_) {
      ::SetConsoleActiveScreenBuffer(user_);
      shown_ = false;
    }
    if (screen_ != nullptr) ::CloseHandle(screen_);
    if (user_ != nullptr) ::CloseHandle(user_);
    screen_ = user_ = nullptr;
  }

  HANDLE user_ = nullptr;    // the screen buffer shown before the view's
  HANDLE screen_ = nullptr;  // the view's own
  bool shown_ = false;       // the view's buffer is the active one
  Palette palette_;
  int cols_ = 0;
  int rows_ = 0;
  SMALL_RECT window_{};
  std::vector<CHAR_INFO> frame_;     // the frame being drawn, row by row
  std::vector<CHAR_INFO> onScreen_;  // what the console shows now
  std::vector<MapGlyph> glyphs_;
};

}  // namespace

std::unique_ptr<ViewScreen> OpenCoreScreen(int fd) {
  if (ConsoleOf(fd) == nullptr) return nullptr;
  auto screen = std::make_unique<ConsoleCoreScreen>();
  if (!screen->Open()) return nullptr;
  return screen;
}

}  // namespace tw
