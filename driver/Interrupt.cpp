#include "driver/Interrupt.h"

#include <errno.h>
#include <semaphore.h>

#include <chrono>

#include "audio/WavePlayers.h"

namespace tw {

namespace interrupt_detail {
std::atomic<bool> gRequested{false};
}

namespace {

// Posted by the signal handler (sem_post may be called there); the watch's
// thread waits on it.
sem_t gSignalled;

void OnInterrupt(int) {
  interrupt_detail::gRequested.store(true, std::memory_order_relaxed);
  sem_post(&gSignalled);
}

// Ends the tone the player is sounding, if any: the device is reset and
// closes, so the battle thread's wait for the tone returns. Taken under the
// device lock, which every open, close and notification of the player holds.
void CutTone(TAudioPlayer& player) {
  player.Lock();
  try {
    if (player.Active() && !player.Closing()) player.SetActive(false);
  } catch (...) {
    // A device that refuses to stop: the battle notices the request after
    // the tone.
  }
  player.Unlock();
}

// How often the cut is tried again: a tone may start right after a try.
constexpr std::chrono::milliseconds kRetry(10);

}  // namespace

void ThrowInterrupted() { throw EControlC("Interrupted by Control-C"); }

InterruptWatch::InterruptWatch() {
  interrupt_detail::gRequested.store(false);
  sem_init(&gSignalled, 0, 0);
  watcher_ = std::thread([this] { Watch(); });
  // A program started with SIGINT ignored (a background job of a shell
  // without job control) keeps ignoring it, as such jobs are meant to.
  sigaction(SIGINT, nullptr, &previous_);
  if (previous_.sa_handler == SIG_IGN) return;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
}

InterruptWatch::~InterruptWatch() {
  sigaction(SIGINT, &previous_, nullptr);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
  sem_post(&gSignalled);
  watcher_.join();
  sem_destroy(&gSignalled);
  interrupt_detail::gRequested.store(false);
}

void InterruptWatch::SetPlayer(TAudioPlayer* player) {
  std::lock_guard<std::mutex> lock(mutex_);
  player_ = player;
}

void InterruptWatch::Watch() {
  for (;;) {
    while (sem_wait(&gSignalled) != 0 && errno == EINTR) {
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (quit_) return;
    if (!InterruptRequested()) continue;
    // Until the run has ended: a tone begun after one cut is caught by the next.
    while (!quit_) {
      if (player_ != nullptr) CutTone(*player_);
      wake_.wait_for(lock, kRetry, [this] { return quit_; });
    }
    return;
  }
}

}  // namespace tw
