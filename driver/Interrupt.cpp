#include "driver/Interrupt.h"

#include <chrono>

#include "audio/WavePlayers.h"

namespace tw {

namespace interrupt_detail {
std::atomic<bool> gRequested{false};
}

namespace {

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
  // A Ctrl-C from here on waits for the thread, which takes it once started.
  interrupt_detail::InstallSignalHandler();
  watcher_ = std::thread([this] { Watch(); });
}

InterruptWatch::~InterruptWatch() {
  interrupt_detail::RestoreSignalHandler();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
  interrupt_detail::WakeSignalWaiter();
  watcher_.join();
  interrupt_detail::gRequested.store(false);
}

void InterruptWatch::SetPlayer(TAudioPlayer* player) {
  std::lock_guard<std::mutex> lock(mutex_);
  player_ = player;
}

void InterruptWatch::Watch() {
  for (;;) {
    interrupt_detail::WaitForSignal();
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
