// Plain status lines, for a file or a pipe (and the writing all views share).
#include <errno.h>
#include <unistd.h>

#include <string>

#include "view/ViewScreen.h"

namespace tw {

void WriteAll(int fd, const char* text, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, text, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    size -= static_cast<std::size_t>(n);
  }
}

namespace {

class PlainScreen : public ViewScreen {
 public:
  explicit PlainScreen(int fd) : fd_(fd) {}

  std::chrono::milliseconds FrameInterval() const override { return std::chrono::seconds(1); }

  void Draw(const BattleDescription& d, const BattleSnapshot& s, const FrameFigures& f) override {
    if (s.HeardWarrior < 0 && !s.Finished) return;  // nothing has happened yet
    const std::string text = CompactLine(d, s, f, 200) + "\n";
    WriteAll(fd_, text.data(), text.size());
  }

  void Finish(const BattleDescription& d, const BattleSnapshot& s, const FrameFigures& f) override {
    if (s.Finished) Draw(d, s, f);
  }

 private:
  const int fd_;
};

}  // namespace

std::unique_ptr<ViewScreen> OpenPlainScreen(int fd) { return std::make_unique<PlainScreen>(fd); }

}  // namespace tw
