// The status line alone, redrawn in place through terminfo.
#include <curses.h>
#include <errno.h>
#include <sys/ioctl.h>
#include <term.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "view/ViewScreen.h"

namespace tw {

namespace {

// tputs hands the bytes of a capability to a function without context.
thread_local std::string* gCapabilityText = nullptr;
int AppendCapabilityByte(int c) {
  gCapabilityText->push_back(static_cast<char>(c));
  return c;
}

class LineScreen : public ViewScreen {
 public:
  explicit LineScreen(int fd) : fd_(fd) {}
  ~LineScreen() override { Close(); }

  bool Open() {
    int error = 0;
    if (setupterm(nullptr, fd_, &error) != OK) return false;
    terminal_ = cur_term;
    char* carriage = tigetstr("cr");
    char* erase = tigetstr("el");
    if (!Usable(carriage) || !Usable(erase)) return false;
    carriage_ = Expand(carriage);
    erase_ = Expand(erase);
    return true;
  }

  std::chrono::milliseconds FrameInterval() const override {
    return std::chrono::milliseconds(100);  // a line needs fewer frames than a map
  }

  void Draw(const BattleDescription& d, const BattleSnapshot& s, const FrameFigures& f) override {
    // One column short of the width: writing the last one would wrap on
    // many terminals, and the next carriage return would miss the line.
    const std::string text = carriage_ + CompactLine(d, s, f, Width() - 1) + erase_;
    WriteAll(fd_, text.data(), text.size());
    drawn_ = true;
  }

  void Finish(const BattleDescription&, const BattleSnapshot&, const FrameFigures&) override {
    Close();
  }

 private:
  static bool Usable(const char* cap) {
    return cap != nullptr && cap != reinterpret_cast<char*>(-1);
  }

  static std::string Expand(const char* cap) {
    std::string text;
    gCapabilityText = &text;
    tputs(cap, 1, AppendCapabilityByte);
    gCapabilityText = nullptr;
    return text;
  }

  int Width() const {
    winsize ws{};
    if (ioctl(fd_, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
  }

  void Close() {
    if (drawn_) {
      // Leaves the line empty for what the program writes next.
      const std::string text = carriage_ + erase_;
      WriteAll(fd_, text.data(), text.size());
      drawn_ = false;
    }
    if (terminal_ != nullptr) {
      del_curterm(terminal_);
      terminal_ = nullptr;
    }
  }

  const int fd_;
  TERMINAL* terminal_ = nullptr;
  std::string carriage_, erase_;
  bool drawn_ = false;
};

}  // namespace

void DrainTerminal(int fd) {
  if (isatty(fd) == 1) tcdrain(fd);
}

std::unique_ptr<ViewScreen> OpenLineScreen(int fd) {
  auto screen = std::make_unique<LineScreen>(fd);
  if (!screen->Open()) return nullptr;
  return screen;
}

}  // namespace tw
