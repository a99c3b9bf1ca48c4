#include "driver/Interrupt.h"

#include <chrono>

#include "audio/WavePlayers.h"
#include "driver/LiveView.h"
#include "runtime/BoundedWaits.h"
#include "runtime/FileRead.h"

namespace tw {

namespace interrupt_detail {
std::atomic<bool> gRequested{false};
std::atomic<int> gEndingSignal{0};
}  // namespace interrupt_detail

namespace {

// Ends the tone the player is sounding, if any: the device is reset and
// closes, so the battle thread's wait for the tone returns. Taken under the
// device lock, which every open, close and notification of the player holds.
// Also once the tone's data has ended (Closing): its last buffer may be the
// one a device does not give back. A stop already under way is not repeated.
void CutTone(TAudioPlayer& player) {
  player.Lock();
  try {
    if (player.Active()) player.SetActive(false);
  } catch (...) {
    // A device that refuses to stop: the battle notices the request after
    // the tone.
  }
  player.Unlock();
}

// How often the cut is tried again: a tone may start right after a try.
constexpr std::chrono::milliseconds kRetry(10);
// How long a run is given to end by itself once asked to.
constexpr std::chrono::milliseconds kGrace(1000);

}  // namespace

void ThrowInterrupted() { throw EControlC("Interrupted by Control-C"); }

void EndWithSignal() {
  const int signal = interrupt_detail::gEndingSignal.load();
  if (signal != 0) interrupt_detail::EndNow(signal);
}

InterruptWatch::InterruptWatch() {
  interrupt_detail::gRequested.store(false);
  interrupt_detail::gEndingSignal.store(0);
  ResumeBoundedWaits();
  // A Ctrl-C from here on waits for the thread, which takes it once started.
  interrupt_detail::InstallSignalHandler();
  // A warrior read from a pipe that nobody writes to gives way to Ctrl-C.
  SetReadWaitCheck([] {
    if (InterruptRequested()) ThrowInterrupted();
  });
  watcher_ = std::thread([this] { Watch(); });
  ender_ = std::thread([this] { EndIfLate(); });
}

InterruptWatch::~InterruptWatch() {
  SetReadWaitCheck(nullptr);
  // Once a signal asked the run to end, the handlers stay for the rest of
  // the process: a second one (a shell or `timeout` passes a Ctrl-C on
  // twice) would otherwise end the program by its default action between
  // here and the report line that says why it ends.
  if (!InterruptRequested()) interrupt_detail::RestoreSignalHandler();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
  interrupt_detail::WakeSignalWaiter();
  watcher_.join();
  {
    std::lock_guard<std::mutex> lock(endMutex_);
    endQuit_ = true;
  }
  endWake_.notify_all();
  ender_.join();
  interrupt_detail::gRequested.store(false);
}

void InterruptWatch::SetPlayer(TAudioPlayer* player) {
  std::lock_guard<std::mutex> lock(mutex_);
  player_ = player;
}

void InterruptWatch::SetView(LiveView* view) {
  std::lock_guard<std::mutex> lock(endMutex_);
  view_ = view;
}

void InterruptWatch::Watch() {
  for (;;) {
    interrupt_detail::WaitForSignal();
    std::unique_lock<std::mutex> lock(mutex_);
    if (quit_) return;
    if (!InterruptRequested()) continue;
    // A device being opened, a server being asked: given up at once.
    CancelBoundedWaits();
    {
      std::lock_guard<std::mutex> end(endMutex_);
      asked_ = true;
    }
    endWake_.notify_all();
    // Until the run has ended: a tone begun after one cut is caught by the next.
    while (!quit_) {
      if (player_ != nullptr) CutTone(*player_);
      wake_.wait_for(lock, kRetry, [this] { return quit_; });
    }
    return;
  }
}

// When the run has not ended within kGrace of the request, the terminal is
// given back here and the program ends by the signal.
void InterruptWatch::EndIfLate() {
  std::unique_lock<std::mutex> lock(endMutex_);
  endWake_.wait(lock, [this] { return endQuit_ || asked_; });
  if (endWake_.wait_for(lock, kGrace, [this] { return endQuit_; })) return;
  if (view_ != nullptr) view_->GiveBackTerminal();
  const int signal = interrupt_detail::gEndingSignal.load();
  interrupt_detail::EndNow(signal != 0 ? signal : interrupt_detail::ControlCSignal());
}

}  // namespace tw
