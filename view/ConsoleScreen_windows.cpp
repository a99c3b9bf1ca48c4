// The Windows console's view: the status line alone, redrawn in place with a
// carriage return and blanks, which every console shows without escape
// sequences. The Windows build has no full-screen map: the core view is
// this line too.

// Ours before the system's: windows.h defines macros with the names of
// some of our constants.
// clang-format off
#include "view/ViewScreen.h"
#include <io.h>
#include <windows.h>
// clang-format on

#include <string>

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
    const int width = Width() - 1;
    std::string text(1, '\r');
    text += CompactLine(d, s, f, width);
    if (static_cast<int>(text.size()) < width + 1) text.append(width + 1 - text.size(), ' ');
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
    // Leaves the line empty for what the program writes next.
    std::string text(Width() + 1, ' ');
    text.front() = '\r';
    text.back() = '\r';
    WriteAll(fd_, text.data(), text.size());
    drawn_ = false;
  }

  const int fd_;
  const HANDLE console_;
  bool drawn_ = false;
};

// The console behind fd, or null when fd is a file or a pipe.
HANDLE ConsoleOf(int fd) {
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (handle == INVALID_HANDLE_VALUE || !::GetConsoleScreenBufferInfo(handle, &info)) {
    return nullptr;
  }
  return handle;
}

}  // namespace

void DrainTerminal(int) {}  // a console has shown what a write returned from

std::unique_ptr<ViewScreen> OpenLineScreen(int fd) {
  const HANDLE console = ConsoleOf(fd);
  if (console == nullptr) return nullptr;
  return std::make_unique<ConsoleLineScreen>(fd, console);
}

std::unique_ptr<ViewScreen> OpenCoreScreen(int fd) { return OpenLineScreen(fd); }

}  // namespace tw
