#include "runtime/BoundedWaits.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace tw {
namespace {
std::atomic<bool> gCancelled{false};
}

void CancelBoundedWaits() { gCancelled.store(true, std::memory_order_release); }
void ResumeBoundedWaits() { gCancelled.store(false, std::memory_order_release); }
bool BoundedWaitsCancelled() { return gCancelled.load(std::memory_order_acquire); }

bool RunWithin(std::function<void()> call, std::chrono::milliseconds limit) {
  struct Done {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
  };
  auto done = std::make_shared<Done>();
  std::thread thread([done, call = std::move(call)] {
    call();
    std::lock_guard<std::mutex> lock(done->mu);
    done->done = true;
    done->cv.notify_all();
  });
  const auto deadline = std::chrono::steady_clock::now() + limit;
  bool finished;
  {
    std::unique_lock<std::mutex> lock(done->mu);
    finished = WaitUnlessCancelled(
        deadline, [&] { return done->done; },
        [&](auto until) { done->cv.wait_until(lock, until); });
  }
  if (finished) {
    thread.join();
  } else {
    thread.detach();
  }
  return finished;
}

std::string NoAnswerText(std::chrono::milliseconds limit) {
  if (BoundedWaitsCancelled()) return "interrupted";
  return "no answer within " + std::to_string(limit.count()) + " ms";
}

}  // namespace tw
