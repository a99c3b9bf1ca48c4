// The view's thread against a battle thread that publishes when asked.
#include "view/BattleView.h"

#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "testing/PseudoTerminal.h"

namespace tw {
namespace {

using Clock = std::chrono::steady_clock;

class ViewThread : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(terminal_.Opened()); }
  // Everything that reached the terminal, once it is closed.
  std::string Received() { return terminal_.ReceivedUntilClosed(); }

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

  testing::PseudoTerminal terminal_;
};

TEST_F(ViewThread, DrawsAtMostThirtyFramesASecondAndGivesTheTerminalBack) {
  termios before{};
  tcgetattr(terminal_.Fd(), &before);
  const auto start = Clock::now();
  BattleView view(ViewKind::kCore, ViewKind::kNone, Description(), terminal_.Fd());
  Battle(view.Exchange(), std::chrono::milliseconds(400));
  view.Stop();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  termios after{};
  tcgetattr(terminal_.Fd(), &after);
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
    BattleView none(ViewKind::kCore, ViewKind::kNone, Description(), terminal_.Fd());
    Battle(none.Exchange(), std::chrono::milliseconds(50));
  }
  BattleView plain(ViewKind::kCore, ViewKind::kPlain, Description(), terminal_.Fd());
  Battle(plain.Exchange(), std::chrono::milliseconds(50));
  plain.Stop();
  const std::string text = Received();
  // Only the plain view's last line; nothing from the first view at all.
  EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
  EXPECT_NE(text.find("/80000  o Mice 1  x Piper 0  battle over"), std::string::npos) << text;
}

}  // namespace
}  // namespace tw
