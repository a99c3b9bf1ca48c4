// The views on a real console: what its cells hold after a frame of the core
// view, a resized window followed, the user's screen and modes given back;
// and where no view draws (the null device). A program without a console
// skips the console cases: under Wine a console exists when the program runs
// on a terminal, and CI runs this program once more in tmux for them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "view/ViewScreen.h"
#include "view/ViewSetting.h"
// After ours: windows.h defines macros with the names of some of our constants.
// clang-format off
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// clang-format on

namespace tw {
namespace {

HANDLE OpenActiveScreen() {
  const HANDLE h =
      ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (h != INVALID_HANDLE_VALUE && ::GetConsoleScreenBufferInfo(h, &info)) return h;
  if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  return nullptr;
}

// The active screen buffer's window, as text rows and attributes.
struct Shown {
  std::vector<std::string> rows;
  std::vector<std::vector<WORD>> attributes;
};

Shown ReadActiveScreen() {
  Shown shown;
  const HANDLE h = OpenActiveScreen();
  if (h == nullptr) return shown;
  CONSOLE_SCREEN_BUFFER_INFO info{};
  ::GetConsoleScreenBufferInfo(h, &info);
  const SHORT cols = static_cast<SHORT>(info.srWindow.Right - info.srWindow.Left + 1);
  const SHORT rows = static_cast<SHORT>(info.srWindow.Bottom - info.srWindow.Top + 1);
  std::vector<CHAR_INFO> cells(static_cast<std::size_t>(cols) * rows);
  SMALL_RECT region = info.srWindow;
  ::ReadConsoleOutputW(h, cells.data(), COORD{cols, rows}, COORD{0, 0}, &region);
  ::CloseHandle(h);
  for (int y = 0; y < rows; ++y) {
    std::string text;
    std::vector<WORD> attributes;
    for (int x = 0; x < cols; ++x) {
      const CHAR_INFO& c = cells[static_cast<std::size_t>(y) * cols + x];
      text += static_cast<char>(c.Char.UnicodeChar);
      attributes.push_back(c.Attributes);
    }
    shown.rows.push_back(text);
    shown.attributes.push_back(attributes);
  }
  return shown;
}

std::string Padded(std::string text, std::size_t width) {
  text.resize(width, ' ');
  return text;
}

// The user's screen buffer as the tests leave it: a mark at its top left,
// its modes, cursor and colours.
struct UserScreen {
  std::string mark;
  DWORD outputMode = 0, inputMode = 0;
  CONSOLE_CURSOR_INFO cursor{};
  WORD attributes = 0;

  static UserScreen Of(HANDLE screen) {
    UserScreen u;
    std::vector<wchar_t> text(24);
    DWORD n = 0;
    ::ReadConsoleOutputCharacterW(screen, text.data(), 24, COORD{0, 0}, &n);
    for (DWORD i = 0; i < n; ++i) u.mark += static_cast<char>(text[i]);
    ::GetConsoleMode(screen, &u.outputMode);
    ::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &u.inputMode);
    ::GetConsoleCursorInfo(screen, &u.cursor);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    ::GetConsoleScreenBufferInfo(screen, &info);
    u.attributes = info.wAttributes;
    return u;
  }
  bool operator==(const UserScreen& o) const {
    return mark == o.mark && outputMode == o.outputMode && inputMode == o.inputMode &&
           cursor.bVisible == o.cursor.bVisible && cursor.dwSize == o.cursor.dwSize &&
           attributes == o.attributes;
  }
};

BattleDescription Description() {
  BattleDescription d;
  d.Names = {"Mice", "Piper"};
  d.CycleLimit = 80000;
  d.CoreCells = 8000;
  d.SecondsPerTone = 1000 / 88200.0;
  return d;
}

// Warrior 0 wrote cells 0..99 and runs at 50 next; warrior 1 wrote
// 4000..4099 and runs at 4000 next.
BattleSnapshot Moment() {
  BattleSnapshot s;
  s.Cycle = 5123;
  s.Tones = 10245;
  s.WarriorCount = 2;
  s.Warriors[0] = {8, 50};
  s.Warriors[1] = {1, 4000};
  s.HeardWarrior = 1;
  s.HeardAddress = 4000;
  std::strcpy(s.Heard.data(), "MOV.I $0, $1");
  s.Writers.assign(8000, 0);
  for (int i = 0; i < 100; ++i) {
    s.Writers[static_cast<std::size_t>(i)] = 1;
    s.Writers[static_cast<std::size_t>(4000 + i)] = 2;
  }
  return s;
}

// The console's window resized as a window resize does it (the window and
// the screen buffer take the size).
void ResizeActiveScreen(SHORT cols, SHORT rows) {
  const HANDLE h = OpenActiveScreen();
  ASSERT_NE(h, nullptr);
  const SMALL_RECT window{0, 0, static_cast<SHORT>(cols - 1), static_cast<SHORT>(rows - 1)};
  EXPECT_TRUE(::SetConsoleWindowInfo(h, TRUE, &window));
  EXPECT_TRUE(::SetConsoleScreenBufferSize(h, COORD{cols, rows}));
  ::CloseHandle(h);
}

TEST(ConsoleCoreScreen, DrawsTheFrameFollowsTheWindowAndGivesTheScreenBack) {
  const HANDLE user = OpenActiveScreen();
  if (user == nullptr) GTEST_SKIP() << "no console (under Wine: run on a terminal)";
  DWORD n = 0;
  ::WriteConsoleOutputCharacterW(user, L"tonewell-user-screen", 20, COORD{0, 0}, &n);
  const UserScreen before = UserScreen::Of(user);
  ASSERT_EQ(before.mark.substr(0, 20), "tonewell-user-screen");

  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(user), _O_WRONLY | _O_BINARY);
  ASSERT_GE(fd, 0);
  std::unique_ptr<ViewScreen> screen = OpenCoreScreen(fd);
  ASSERT_NE(screen, nullptr);
  const BattleDescription d = Description();
  const BattleSnapshot s = Moment();
  screen->Draw(d, s, FrameFigures{});

  Shown shown = ReadActiveScreen();
  ASSERT_GE(shown.rows.size(), 4u);
  const int cols = static_cast<int>(shown.rows[0].size());
  const int rows = static_cast<int>(shown.rows.size());
  EXPECT_EQ(shown.rows[0], Padded(StatusLine(d, s, cols), cols));
  EXPECT_EQ(shown.rows[1], Padded(HeardLine(d, s, FrameFigures{}, cols), cols));
  // The map as the frame text composes it, cell for cell.
  const MapLayout layout = LayoutMap(8000, rows - 2, cols);
  std::vector<MapGlyph> glyphs;
  ComposeMap(s, layout, glyphs);
  const WORD background = before.attributes & 0xF0;
  for (int c = 0; c < layout.Chars; ++c) {
    const std::size_t y = static_cast<std::size_t>(2 + c / cols);
    const std::size_t x = static_cast<std::size_t>(c % cols);
    ASSERT_EQ(shown.rows[y][x], glyphs[static_cast<std::size_t>(c)].Char) << "char " << c;
  }
  // Colours: warrior 0 bright cyan, warrior 1 bright yellow on the user's
  // background; the next instruction reversed; untouched cells dark grey.
  const int cell0 = 0, next1 = 4000 / layout.CellsPerChar, untouched = 6000 / layout.CellsPerChar;
  auto attribute = [&](int c) { return shown.attributes[2 + c / cols][c % cols]; };
  EXPECT_EQ(attribute(cell0),
            background | FOREGROUND_GREEN | FOREGROUND_BLUE | FOREGROUND_INTENSITY);
  EXPECT_EQ(attribute(next1) & 0xF0, (FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_INTENSITY)
                                         << 4);
  EXPECT_EQ(attribute(untouched) & 0x0F, FOREGROUND_INTENSITY);

  // A smaller window: the next frame fills it, status lines in the brief form.
  ResizeActiveScreen(static_cast<SHORT>(cols - 20), static_cast<SHORT>(rows - 5));
  screen->Draw(d, s, FrameFigures{});
  shown = ReadActiveScreen();
  ASSERT_EQ(static_cast<int>(shown.rows.size()), rows - 5);
  EXPECT_EQ(shown.rows[0], Padded(StatusLine(d, s, cols - 20), cols - 20));
  const MapLayout smaller = LayoutMap(8000, rows - 7, cols - 20);
  EXPECT_EQ(shown.rows[2][50 / smaller.CellsPerChar % (cols - 20)], 'O');

  screen->Finish(d, s, FrameFigures{});
  const HANDLE after = OpenActiveScreen();
  ASSERT_NE(after, nullptr);
  EXPECT_TRUE(UserScreen::Of(after) == before) << "the user's screen or modes changed";
  ::CloseHandle(after);
  ::_close(fd);
}

TEST(ViewChoice, TheNullDeviceIsNoConsole) {
  // The C runtime counts the null device as a character device, like a console.
  const int fd = ::_open("NUL", _O_WRONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ChooseViewKindOn(ViewSetting::kAuto, fd), ViewKind::kNone);
  EXPECT_EQ(ChooseViewKindOn(ViewSetting::kCore, fd), ViewKind::kPlain);
  EXPECT_EQ(OpenCoreScreen(fd), nullptr);
  ::_close(fd);
  const HANDLE console = OpenActiveScreen();
  if (console == nullptr) return;  // the console cases below need one
  const int on = ::_open_osfhandle(reinterpret_cast<intptr_t>(console), _O_WRONLY);
  EXPECT_EQ(ChooseViewKindOn(ViewSetting::kAuto, on), ViewKind::kCore);
  EXPECT_EQ(ChooseViewKindOn(ViewSetting::kLine, on), ViewKind::kLine);
  ::_close(on);
}

}  // namespace
}  // namespace tw
