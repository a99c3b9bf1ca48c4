#include <gtest/gtest.h>

#include <thread>

#include "platform/WakeSignal.h"

namespace tw {
namespace {

using namespace std::chrono_literals;

TEST(WakeSignal, EachPostLetsOneWaitReturnAndAWaitWithoutOneEndsAtItsDeadline) {
  WakeSignal s;
  s.Post();
  s.Post();
  EXPECT_TRUE(s.WaitUntil(WakeSignal::Clock::now()));
  s.Wait();
  const auto deadline = WakeSignal::Clock::now() + 20ms;
  EXPECT_FALSE(s.WaitUntil(deadline));
  EXPECT_GE(WakeSignal::Clock::now(), deadline);
}

TEST(WakeSignal, APostFromAnotherThreadEndsAWaitWhoseDeadlineIsFarOff) {
  WakeSignal s;
  std::thread poster([&] {
    std::this_thread::sleep_for(10ms);
    s.Post();
  });
  EXPECT_TRUE(s.WaitUntil(WakeSignal::Clock::now() + 60s));
  poster.join();
}

}  // namespace
}  // namespace tw
