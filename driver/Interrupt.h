#pragma once
// Ctrl-C during a run. While an InterruptWatch lives, Ctrl-C does not kill
// the program: it asks the battle to end. The tone sounding at that moment
// is cut short (at once, however long it is), the battle stops before the
// heard instruction takes effect, and the run ends like a failed one with
// the report line "EControlC: ..." and exit status 130, its audio objects
// freed so that every tone played so far is kept (a wav: file stays valid).

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/ToneAudio.h"
#include "core/unit_core_execute_quillmar.h"
#include "runtime/Exceptions.h"

namespace tw {

class TAudioPlayer;

// The run was ended by Ctrl-C.
TW_DECLARE_EXCEPTION(EControlC, Exception);

namespace interrupt_detail {
extern std::atomic<bool> gRequested;

// The system's Ctrl-C, one file per system (InterruptSignal_posix.cpp:
// SIGINT; InterruptSignal_windows.cpp: the console's control handler).
// Install: from now on Ctrl-C sets gRequested and wakes WaitForSignal, and
// no longer ends the program; a Ctrl-C the program was started ignoring
// stays ignored. Restore puts back what was there before. WaitForSignal
// returns after a Ctrl-C or a WakeSignalWaiter.
void InstallSignalHandler();
void RestoreSignalHandler();
void WaitForSignal();
void WakeSignalWaiter();
}  // namespace interrupt_detail

// True once Ctrl-C was pressed while an InterruptWatch was installed.
inline bool InterruptRequested() {
  return interrupt_detail::gRequested.load(std::memory_order_relaxed);
}

// Raises EControlC "Interrupted by Control-C".
[[noreturn]] void ThrowInterrupted();

// Installs the Ctrl-C handler and a thread that cuts the current tone short
// once Ctrl-C is pressed; the destructor puts back the handler that was
// there before and clears the request. A SIGINT the program was started
// ignoring stays ignored. One watch at a time.
class InterruptWatch {
 public:
  InterruptWatch();
  ~InterruptWatch();
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  // The player whose tone a Ctrl-C stops; null for none. Set it to null
  // before the player is freed.
  void SetPlayer(TAudioPlayer* player);

 private:
  void Watch();

  std::mutex mutex_;
  std::condition_variable wake_;
  bool quit_ = false;
  TAudioPlayer* player_ = nullptr;  // guarded by mutex_
  std::thread watcher_;
};

// The program's tone policy: the tone of each instruction, and the end of
// the battle (EControlC) before the instruction takes effect once Ctrl-C
// was pressed.
struct InterruptibleTone {
  static void Play(const CoreCell& cell) {
    if (InterruptRequested()) [[unlikely]]
      ThrowInterrupted();
    SynthesizeTone(cell);
    if (InterruptRequested()) [[unlikely]]
      ThrowInterrupted();
  }
};

}  // namespace tw
