#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

#include "driver/Interrupt.h"

namespace tw {
namespace {

// A shell or `timeout` may pass one Ctrl-C on twice. The second one must not
// end the program by SIGINT's default action after the watch is gone and
// before the report line is written.
TEST(InterruptWatchDeathTest, ASecondCtrlCAfterTheRequestLeavesTheProgramToWriteItsReport) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::signal(SIGINT, SIG_DFL);
        {
          InterruptWatch watch;
          std::raise(SIGINT);
          if (!InterruptRequested()) std::exit(2);
        }
        std::raise(SIGINT);
        std::exit(7);  // the report would be written here
      },
      testing::ExitedWithCode(7), "");
}

// Without a request, the watch gives the signals back as it found them.
TEST(InterruptWatchDeathTest, WithoutARequestTheDefaultActionIsBackAfterTheWatch) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::signal(SIGINT, SIG_DFL);
        { InterruptWatch watch; }
        std::raise(SIGINT);
        std::exit(7);
      },
      testing::KilledBySignal(SIGINT), "");
}

}  // namespace
}  // namespace tw
