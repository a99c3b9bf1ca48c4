// The screens on a pseudo-terminal: what reaches the terminal, and the
// terminal's modes given back.
#include "view/ViewScreen.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace tw {
namespace {

class Pty : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave_, 0);
    Resize(80, 24);
    setenv("TERM", "xterm-256color", 1);
  }
  void TearDown() override {
    close(slave_);
    close(master_);
  }
  void Resize(int cols, int rows) {
    winsize ws{};
    ws.ws_col = static_cast<unsigned short>(cols);
    ws.ws_row = static_cast<unsigned short>(rows);
    ioctl(master_, TIOCSWINSZ, &ws);
  }
  // Everything the terminal got so far.
  std::string Received() {
    std::string text;
    char buffer[4096];
    pollfd p{master_, POLLIN, 0};
    while (poll(&p, 1, 50) > 0 && (p.revents & POLLIN) != 0) {
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
  }
  static std::string Modes(int fd) {
    termios t{};
    tcgetattr(fd, &t);
    return std::string(reinterpret_cast<const char*>(&t), sizeof t);
  }

  int master_ = -1, slave_ = -1;
};

BattleDescription Description() {
  BattleDescription d;
  d.Names = {"Mice", "Piper"};
  d.CycleLimit = 80000;
  d.CoreCells = 8000;
  d.SecondsPerTone = 1000 / 88200.0;
  d.Unpaced = true;
  return d;
}

BattleSnapshot Moment() {
  BattleSnapshot s;
  s.Cycle = 42;
  s.WarriorCount = 2;
  s.Warriors[0] = {3, 0};
  s.Warriors[1] = {1, 344};
  s.HeardWarrior = 0;
  std::strcpy(s.Heard.data(), "MOV.I $0, $1");
  s.Writers.assign(8000, 0);
  s.Writers[0] = 1;
  s.Writers[344] = 2;
  return s;
}

TEST_F(Pty, TheCoreViewDrawsAndGivesTheTerminalBack) {
  const std::string before = Modes(slave_);
  auto screen = OpenCoreScreen(slave_);
  ASSERT_NE(screen, nullptr);
  FrameFigures f;
  screen->Draw(Description(), Moment(), f);
  const std::string frame = Received();
  EXPECT_NE(frame.find("Cycle 42 of 80000"), std::string::npos);
  EXPECT_NE(frame.find("Piper"), std::string::npos);
  EXPECT_NE(frame.find("MOV.I $0, $1"), std::string::npos);
  EXPECT_NE(Modes(slave_), before);  // echo is off while the view is up
  // A smaller window: the next frame follows it and still names the warriors.
  Resize(40, 10);
  screen->Draw(Description(), Moment(), f);
  EXPECT_NE(Received().find("Mice"), std::string::npos);
  screen->Finish(Description(), Moment(), f);
  EXPECT_EQ(Modes(slave_), before);
  screen.reset();
  EXPECT_EQ(Modes(slave_), before);
}

TEST_F(Pty, TheLineViewRedrawsOneLineAndClearsItAtTheEnd) {
  auto screen = OpenLineScreen(slave_);
  ASSERT_NE(screen, nullptr);
  FrameFigures f;
  screen->Draw(Description(), Moment(), f);
  const std::string line = Received();
  EXPECT_EQ(line.rfind("\r42/80000  o Mice 3  x Piper 1  o MOV.I $0, $1", 0), 0u) << line;
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_TRUE(line.ends_with("\x1b[K")) << line;
  screen->Finish(Description(), Moment(), f);
  EXPECT_EQ(Received(), "\r\x1b[K");
}

TEST_F(Pty, AnUnknownTerminalGetsNoViewAndNoByte) {
  setenv("TERM", "no-such-terminal-type", 1);
  const std::string before = Modes(slave_);
  EXPECT_EQ(OpenCoreScreen(slave_), nullptr);
  EXPECT_EQ(OpenLineScreen(slave_), nullptr);
  EXPECT_EQ(Received(), "");
  EXPECT_EQ(Modes(slave_), before);
}

TEST(PlainScreen, OneLineASecondWithoutControlCodes) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  auto screen = OpenPlainScreen(pipe_fds[1]);
  EXPECT_EQ(screen->FrameInterval(), std::chrono::seconds(1));
  FrameFigures f;
  BattleSnapshot s = Moment();
  screen->Draw(Description(), s, f);
  s.Finished = true;
  s.Cycle = 10583;
  screen->Finish(Description(), s, f);
  close(pipe_fds[1]);
  char buffer[1024];
  const ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
  close(pipe_fds[0]);
  ASSERT_GT(n, 0);
  const std::string text(buffer, static_cast<std::size_t>(n));
  EXPECT_EQ(text.rfind("42/80000  o Mice 3  x Piper 1  o MOV.I $0, $1  0:00.0  [", 0), 0u) << text;
  EXPECT_NE(text.find("\n10583/80000  o Mice 3  x Piper 1  battle over"), std::string::npos);
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
}

}  // namespace
}  // namespace tw
