// The Windows console's line view: the status line alone, redrawn in place
// with a carriage return and blanks, which every console shows without
// escape sequences. (The core view is ConsoleCoreScreen_windows.cpp.)

#include "view/ViewScreen.h"
// After ours: windows.h defines macros with the names of some of our constants.
#include <string>

#include "view/Console_windows.h"

namespace tw {
namespace {

class ConsoleLineScreen : public ViewScreen {
 public:
  ConsoleLineScreen(int fd, HANDLE console) : fd_(fd), console_(console) {}
  ~ConsoleLineScreen() override { Close(); }

  std::chrono::milliseconds FrameInterval() const override {
    return std::chrono::milliseconds(100);
  }

  void Draw(const BattleDescription& d, const BattleSnapshot& s, const FrameFigures& f) override {
    // One column short of the width: writing the last one moves the cursor
    // to the next line, and the next carriage return would miss this one.
    // Blanks cover what is left of a longer line before, no more: the
    // cursor stays near the text, so a "^C" a terminal under Wine echoes
    // there does not wrap to the next line, which the clearing would miss.
    const int width = Width() - 1;
    std::string text(1, '\r');
    text += CompactLine(d, s, f, width);
    const std::size_t length = text.size();
    if (length < shown_) text.append(shown_ - length, ' ');
    shown_ = length;
    WriteAll(fd_, text.data(), text.size());
    drawn_ = true;
  }

  void Finish(const BattleDescription&, const BattleSnapshot&, const FrameFigures&) override {
    Close();
  }

 private:
  int Width() const {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (::GetConsoleScreenBufferInfo(console_, &info)) {
      const int width = info.srWindow.Right - info.srWindow.Left + 1;
      if (width > 1) return width;
    }
    return 80;
  }

  void Close() {
    if (!drawn_) return;
    // Leaves the line empty for what the program writes next (all of it:
    // a terminal under Wine may have echoed a "^C" after the text).
    std::string text(Width() + 1, ' ');
    text.front() = '\r';
    text.back() = '\r';
    WriteAll(fd_, text.data(), text.size());
    drawn_ = false;
    shown_ = 0;
  }

  const int fd_;
  const HANDLE console_;
  bool drawn_ = false;
  std::size_t shown_ = 0;  // the length of the line drawn last, its carriage return included
};

}  // namespace

void DrainTerminal(int) {}  // a console has shown what a write returned from

std::unique_ptr<ViewScreen> OpenLineScreen(int fd) {
  const HANDLE console = ConsoleOf(fd);
  if (console == nullptr) return nullptr;
  return std::make_unique<ConsoleLineScreen>(fd, console);
}

}  // namespace tw
