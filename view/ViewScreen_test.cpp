// The screens on a pseudo-terminal: what reaches the terminal, and the
// terminal's modes given back.
#include "view/ViewScreen.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "testing/PseudoTerminal.h"

namespace tw {
namespace {

class Pty : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(terminal_.Opened()); }
  testing::PseudoTerminal terminal_;
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
  const std::string before = terminal_.Modes();
  auto screen = OpenCoreScreen(terminal_.Fd());
  ASSERT_NE(screen, nullptr);
  FrameFigures f;
  screen->Draw(Description(), Moment(), f);
  const std::string frame = terminal_.Received();
  EXPECT_NE(frame.find("Cycle 42 of 80000"), std::string::npos);
  EXPECT_NE(frame.find("Piper"), std::string::npos);
  EXPECT_NE(frame.find("MOV.I $0, $1"), std::string::npos);
  EXPECT_NE(terminal_.Modes(), before);  // echo is off while the view is up
  // A smaller window: the next frame follows it and still names the warriors.
  terminal_.Resize(40, 10);
  screen->Draw(Description(), Moment(), f);
  EXPECT_NE(terminal_.Received().find("Mice"), std::string::npos);
  screen->Finish(Description(), Moment(), f);
  EXPECT_EQ(terminal_.Modes(), before);
  screen.reset();
  EXPECT_EQ(terminal_.Modes(), before);
}

TEST_F(Pty, TheLineViewRedrawsOneLineAndClearsItAtTheEnd) {
  auto screen = OpenLineScreen(terminal_.Fd());
  ASSERT_NE(screen, nullptr);
  FrameFigures f;
  screen->Draw(Description(), Moment(), f);
  const std::string line = terminal_.Received();
  EXPECT_EQ(line.rfind("\r42/80000  o Mice 3  x Piper 1  o MOV.I $0, $1", 0), 0u) << line;
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_TRUE(line.ends_with("\x1b[K")) << line;
  screen->Finish(Description(), Moment(), f);
  EXPECT_EQ(terminal_.Received(), "\r\x1b[K");
}

TEST_F(Pty, AnUnknownTerminalGetsNoViewAndNoByte) {
  setenv("TERM", "no-such-terminal-type", 1);
  const std::string before = terminal_.Modes();
  EXPECT_EQ(OpenCoreScreen(terminal_.Fd()), nullptr);
  EXPECT_EQ(OpenLineScreen(terminal_.Fd()), nullptr);
  EXPECT_EQ(terminal_.Received(), "");
  EXPECT_EQ(terminal_.Modes(), before);
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
