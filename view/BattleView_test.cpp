// The view's thread against a battle thread that publishes when asked.
#include "view/BattleView.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

namespace tw {
namespace {

using Clock = std::chrono::steady_clock;

class ViewThread : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave_, 0);
    winsize ws{};
    ws.ws_col = 80;
    ws.ws_row = 24;
    ioctl(master_, TIOCSWINSZ, &ws);
    setenv("TERM", "xterm-256color", 1);
    reader_ = std::thread([this] {
      char buffer[4096];
      for (ssize_t n; (n = read(master_, buffer, sizeof buffer)) > 0;) {
        received_.append(buffer, static_cast<std::size_t>(n));
      }
    });
  }
  void TearDown() override {
    if (slave_ >= 0) close(slave_);
    if (reader_.joinable()) reader_.join();
    close(master_);
  }
  std::string Received() {
    close(slave_);  // the reader sees the end
    slave_ = -1;
    reader_.join();
    return received_;
  }

  static BattleDescription Description() {
    BattleDescription d;
    d.Names = {"Mice", "Piper"};
    d.CycleLimit = 80000;
    d.CoreCells = 8000;
    d.Unpaced = true;
    return d;
  }

  // A battle of `duration` that publishes a moment whenever asked, one cycle
  // a millisecond, then its last moment.
  static void Battle(SnapshotExchange& exchange, std::chrono::milliseconds duration) {
    std::int32_t cycle = 0;
    for (const auto end = Clock::now() + duration; Clock::now() < end;) {
      ++cycle;
      if (exchange.Wanted()) {
        exchange.Publish([&](BattleSnapshot& s) {
          s.Cycle = cycle;
          s.WarriorCount = 2;
          s.Warriors[0] = {1, cycle % 8000};
          s.Warriors[1] = {1, 344};
          s.HeardWarrior = cycle % 2;
          std::strcpy(s.Heard.data(), "MOV.I $0, $1");
          s.Writers.assign(8000, 0);
          s.Writers[cycle % 8000] = 1;
        });
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    exchange.Publish([&](BattleSnapshot& s) {
      s.Cycle = cycle;
      s.WarriorCount = 2;
      s.Warriors[0] = {1, 0};
      s.Warriors[1] = {0, -1};
      s.Finished = true;
    });
  }

  int master_ = -1, slave_ = -1;
  std::thread reader_;
  std::string received_;
};

TEST_F(ViewThread, DrawsAtMostThirtyFramesASecondAndGivesTheTerminalBack) {
  termios before{};
  tcgetattr(slave_, &before);
  const auto start = Clock::now();
  BattleView view(ViewKind::kCore, ViewKind::kNone, Description(), slave_);
  Battle(view.Exchange(), std::chrono::milliseconds(400));
  view.Stop();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  termios after{};
  tcgetattr(slave_, &after);
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
  const FrameStats stats = view.Stats();
  EXPECT_GE(stats.Frames, 1);
  EXPECT_LE(stats.Frames, seconds * 30 + 1);
  EXPECT_LE(stats.MedianMs, stats.MaxMs);
  const std::string text = Received();
  EXPECT_NE(text.find("MOV.I $0, $1"), std::string::npos);
  EXPECT_NE(text.find("cycles/s"), std::string::npos);
}

TEST_F(ViewThread, AnUndrivableTerminalFallsBack) {
  setenv("TERM", "no-such-terminal-type", 1);
  {
    BattleView none(ViewKind::kCore, ViewKind::kNone, Description(), slave_);
    Battle(none.Exchange(), std::chrono::milliseconds(50));
  }
  BattleView plain(ViewKind::kCore, ViewKind::kPlain, Description(), slave_);
  Battle(plain.Exchange(), std::chrono::milliseconds(50));
  plain.Stop();
  const std::string text = Received();
  // Only the plain view's last line; nothing from the first view at all.
  EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
  EXPECT_NE(text.find("/80000  o Mice 1  x Piper 0  battle over"), std::string::npos) << text;
}

}  // namespace
}  // namespace tw
