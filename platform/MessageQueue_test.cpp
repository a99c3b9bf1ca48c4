#include "platform/MessageQueue.h"

#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "platform/SyncObjects.h"
#include "platform/mmsystem.h"

namespace tw {
namespace {

struct Seen {
  uint32_t Message;
  uintptr_t Param;
  std::thread::id Thread;
};

TEST(CallbackWindowTest, DispatchesOnOwnerInPostingOrderAndLeavesOtherWindowsQueued) {
  std::vector<Seen> a, b;
  CallbackWindow wa([&](uint32_t m, uintptr_t p) {
    a.push_back({m, p, std::this_thread::get_id()});
  });
  CallbackWindow wb([&](uint32_t m, uintptr_t p) {
    b.push_back({m, p, std::this_thread::get_id()});
  });
  wa.Create();
  wb.Create();
  std::thread poster([&] {
    for (uintptr_t i = 0; i < 100; ++i) {
      ASSERT_TRUE(wa.Post(MM_WOM_DONE, i));
      ASSERT_TRUE(wb.Post(MM_WOM_DONE, 1000 + i));
    }
  });
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(wa.PumpOne());
  poster.join();
  ASSERT_EQ(a.size(), 100u);
  for (uintptr_t i = 0; i < 100; ++i) {
    EXPECT_EQ(a[i].Param, i);
    EXPECT_EQ(a[i].Thread, std::this_thread::get_id());
  }
  EXPECT_TRUE(b.empty());
  EXPECT_EQ(MessageQueue::Current()->PendingCount(), 100u);
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(wb.PumpOne());
  ASSERT_EQ(b.size(), 100u);
  EXPECT_EQ(b.back().Param, 1099u);
}

TEST(CallbackWindowTest, CanBeDestroyedFromItsOwnHandlerAndCreatedAgain) {
  CallbackWindow* self = nullptr;
  std::vector<uint32_t> got;
  CallbackWindow w([&](uint32_t m, uintptr_t) {
    got.push_back(m);
    if (m == MM_WOM_CLOSE) self->Destroy();
  });
  self = &w;
  EXPECT_FALSE(w.Post(MM_WOM_OPEN, 0)) << "not created yet";
  w.Create();
  EXPECT_TRUE(w.Post(MM_WOM_OPEN, 0));
  EXPECT_TRUE(w.Post(MM_WOM_CLOSE, 0));
  EXPECT_TRUE(w.Post(MM_WOM_DONE, 0));  // dropped by the destroy
  while (w.PumpOne()) {
  }
  EXPECT_EQ(got, (std::vector<uint32_t>{MM_WOM_OPEN, MM_WOM_CLOSE}));
  EXPECT_FALSE(w.Alive());
  EXPECT_FALSE(w.Post(MM_WOM_OPEN, 0));
  EXPECT_EQ(MessageQueue::Current()->PendingCount(), 0u);
  w.Create();
  EXPECT_TRUE(w.Post(MM_WOM_OPEN, 7));
  EXPECT_TRUE(w.PumpOne());
  EXPECT_EQ(got.back(), MM_WOM_OPEN);
}

TEST(CallbackWindowTest, PumpOnAnotherThreadWaitsUntilTheOwnerDestroysTheWindow) {
  CallbackWindow w([](uint32_t, uintptr_t) {});
  w.Create();
  std::atomic<bool> returned{false};
  std::thread other([&] {
    EXPECT_FALSE(w.PumpOne());
    returned = true;
  });
  w.Post(MM_WOM_OPEN, 0);  // only the owner may take this
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(returned.load());
  w.Destroy();
  other.join();
  EXPECT_TRUE(returned.load());
}

double ThreadCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

TEST(WaitForSyncObjectTest, DispatchesWindowMessagesOnTheWaitingThreadWithoutSpinning) {
  std::vector<Seen> seen;
  CallbackWindow w([&](uint32_t m, uintptr_t p) {
    seen.push_back({m, p, std::this_thread::get_id()});
  });
  w.Create();
  Event done;
  std::thread device([&] {
    for (uintptr_t i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      w.Post(MM_WOM_DONE, i);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    done.Set();
  });
  double cpu0 = ThreadCpuSeconds();
  EXPECT_EQ(WaitForSyncObject(&done, INFINITE), WAIT_OBJECT_0);
  double cpu = ThreadCpuSeconds() - cpu0;
  device.join();
  ASSERT_EQ(seen.size(), 5u);
  for (uintptr_t i = 0; i < 5; ++i) {
    EXPECT_EQ(seen[i].Param, i);
    EXPECT_EQ(seen[i].Thread, std::this_thread::get_id());
  }
  // 180 ms of waiting; a spinning or polling wait would burn most of it.
  EXPECT_LT(cpu, 0.05);
}

TEST(WaitForSyncObjectTest, ResultsForTimeoutNullAutoResetAndQuit) {
  EXPECT_EQ(WaitForSyncObject(nullptr, 0), WAIT_FAILED);
  Event manual(true, false);
  EXPECT_EQ(WaitForSyncObject(&manual, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSyncObject(&manual, 20), WAIT_TIMEOUT);
  manual.Set();
  EXPECT_EQ(WaitForSyncObject(&manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSyncObject(&manual, 0), WAIT_OBJECT_0) << "manual reset stays set";
  manual.Reset();
  EXPECT_FALSE(manual.IsSignalled());

  Event automatic(false, true);
  EXPECT_EQ(WaitForSyncObject(&automatic, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSyncObject(&automatic, 0), WAIT_TIMEOUT) << "auto reset consumed";

  ASSERT_TRUE(MessageQueue::Current()->PostThreadMessage(WM_QUIT, 0));
  EXPECT_EQ(WaitForSyncObject(&manual, INFINITE), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(MessageQueue::Current()->PendingCount(), 0u);
}

TEST(ThreadQueueTest, ThreadTargetFeedsTheThreadLoopUntilQuitAndFailsAfterItEnds) {
  std::shared_ptr<MessageQueue> queue;
  Event ready;
  std::vector<QueuedMessage> got;
  std::thread worker([&] {
    queue = MessageQueue::Current();
    ready.Set();
    QueuedMessage m;
    while (queue->GetMessage(m)) got.push_back(m);
  });
  ASSERT_EQ(WaitForSyncObject(&ready, INFINITE), WAIT_OBJECT_0);
  ThreadTarget target(queue);
  for (uintptr_t i = 0; i < 50; ++i) ASSERT_TRUE(target.Post(MM_WOM_DONE, i));
  ASSERT_TRUE(queue->PostThreadMessage(WM_QUIT, 0));
  worker.join();
  ASSERT_EQ(got.size(), 50u);
  for (uintptr_t i = 0; i < 50; ++i) EXPECT_EQ(got[i].Param, i);
  EXPECT_FALSE(target.Post(MM_WOM_DONE, 0)) << "the thread has ended";
}

// A timer that records when and where it fired, and posts to a window.
class RecordingTimer : public QueueTimer {
 public:
  using Clock = std::chrono::steady_clock;
  explicit RecordingTimer(CallbackWindow* Window = nullptr) : window_(Window) {}
  ~RecordingTimer() {
    if (Queue) Queue->KillTimer(*this);
  }
  void OnQueueTimer() override {
    Fired.push_back({Clock::now(), std::this_thread::get_id()});
    if (window_ != nullptr) window_->Post(MM_WOM_DONE, Fired.size());
    if (Hold) Hold();
  }
  struct Firing {
    Clock::time_point At;
    std::thread::id Thread;
  };
  std::vector<Firing> Fired;
  std::function<void()> Hold;
  MessageQueue* Queue = nullptr;

 private:
  CallbackWindow* window_;
};

TEST(QueueTimerTest, FiresOnTheOwnerThreadWhileItPumpsNeverBeforeItsTime) {
  using Clock = RecordingTimer::Clock;
  std::vector<uintptr_t> got;
  CallbackWindow w([&](uint32_t, uintptr_t p) { got.push_back(p); });
  MessageQueue& q = *MessageQueue::Current();
  RecordingTimer early(&w), late(&w);
  early.Queue = late.Queue = &q;
  EXPECT_FALSE(q.SetTimer(early, Clock::now())) << "no window: nobody is expected to wait here";
  w.Create();
  const Clock::time_point start = Clock::now();
  ASSERT_TRUE(q.SetTimer(late, start + std::chrono::milliseconds(40)));
  ASSERT_TRUE(q.SetTimer(early, start + std::chrono::milliseconds(20)));
  std::thread other([&] {
    // Set from another thread, a timer moves the owner's wait.
    ASSERT_TRUE(q.SetTimer(early, start + std::chrono::milliseconds(10)));
  });
  other.join();
  ASSERT_TRUE(w.PumpOne());  // each firing posts one message
  ASSERT_TRUE(w.PumpOne());
  ASSERT_EQ(early.Fired.size(), 1u);
  ASSERT_EQ(late.Fired.size(), 1u);
  EXPECT_GE(early.Fired[0].At, start + std::chrono::milliseconds(10));
  EXPECT_GE(late.Fired[0].At, start + std::chrono::milliseconds(40));
  EXPECT_EQ(early.Fired[0].Thread, std::this_thread::get_id());
  EXPECT_EQ(got, (std::vector<uintptr_t>{1, 1}));
  // Killed before its time, a timer never fires; a wait for a sync object
  // serves the others.
  ASSERT_TRUE(q.SetTimer(early, Clock::now() + std::chrono::milliseconds(5)));
  ASSERT_TRUE(q.SetTimer(late, Clock::now() + std::chrono::milliseconds(1)));
  q.KillTimer(early);
  Event never;
  EXPECT_EQ(WaitForSyncObject(&never, 30), WAIT_TIMEOUT);
  EXPECT_EQ(early.Fired.size(), 1u);
  EXPECT_EQ(late.Fired.size(), 2u);
  w.Destroy();
}

TEST(QueueTimerTest, KillFromAnotherThreadWaitsForAFiringInProgress) {
  CallbackWindow w([](uint32_t, uintptr_t) {});
  w.Create();
  MessageQueue& q = *MessageQueue::Current();
  RecordingTimer timer(&w);
  Event firing;
  std::atomic<bool> release{false};
  timer.Hold = [&] {
    firing.Set();
    // Not WaitForSyncObject: that would take the posted message meanwhile.
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  std::atomic<bool> killed{false};
  std::thread killer([&] {
    WaitForSyncObject(&firing, INFINITE);
    q.KillTimer(timer);
    killed = true;
  });
  ASSERT_TRUE(q.SetTimer(timer, std::chrono::steady_clock::now()));
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(killed.load()) << "the kill returned while the timer still ran";
    release = true;
  });
  ASSERT_TRUE(w.PumpOne());
  killer.join();
  releaser.join();
  EXPECT_TRUE(killed.load());
  w.Destroy();
}

}  // namespace
}  // namespace tw
