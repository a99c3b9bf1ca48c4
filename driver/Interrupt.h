#pragma once
// Ctrl-C and the other signals that end a program, during a run. While an
// InterruptWatch lives, Ctrl-C does not kill the program: it asks the battle
// to end. The tone sounding at that moment is cut short (at once, however
// long it is), the battle stops before the heard instruction takes effect,
// and the run ends like a failed one with the report line "EControlC: ..."
// and exit status 130, its audio objects freed so that every tone played so
// far is kept (a wav: file stays valid) and the terminal given back.
//
// SIGTERM, SIGHUP, SIGQUIT (Ctrl-\), SIGPIPE, SIGALRM, SIGUSR1 and SIGUSR2
// end the run the same way, without a report line; the program then ends as
// that signal ends it (EndWithSignal). A run that cannot end within a second
// of the signal (a tone still being computed, a sound output that does not
// answer) is not waited for: the terminal is given back from the watch's
// thread and the program ends by the signal at once (for Ctrl-C: without
// the report line). A signal the program was started ignoring stays ignored.
// SIGXFSZ is ignored while the watch lives: a write past the file-size
// limit fails (EFBIG) and is reported like a full disk.

#include <atomic>
#include <chrono>
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

class LiveView;

namespace interrupt_detail {
extern std::atomic<bool> gRequested;
// The signal, other than Ctrl-C, that asked the run to end; 0 for none.
extern std::atomic<int> gEndingSignal;

// The system's Ctrl-C, one file per system (InterruptSignal_posix.cpp:
// SIGINT and the ending signals; InterruptSignal_windows.cpp: the console's
// control handler). Install: from now on Ctrl-C (or an ending signal, which
// also sets gEndingSignal) sets gRequested and wakes WaitForSignal, and no
// longer ends the program; a signal the program was started ignoring stays
// ignored. Restore puts back what was there before. WaitForSignal returns
// after a signal or a WakeSignalWaiter. EndNow ends the process as `signal`
// (SIGINT for Ctrl-C) ends it, with the system's default action.
void InstallSignalHandler();
void RestoreSignalHandler();
void WaitForSignal();
void WakeSignalWaiter();
[[noreturn]] void EndNow(int signal);
int ControlCSignal();
}  // namespace interrupt_detail

// Called by main once the run is over: when an ending signal asked the run
// to end, ends the program as that signal does (its usual exit status, a
// core dump for SIGQUIT where they are kept); otherwise returns.
void EndWithSignal();

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
  // The view whose terminal is given back when the run does not end in
  // time; null for none. Set it to null before the view is destroyed.
  void SetView(LiveView* view);

 private:
  void Watch();
  void EndIfLate();

  std::mutex mutex_;
  std::condition_variable wake_;
  bool quit_ = false;
  TAudioPlayer* player_ = nullptr;  // guarded by mutex_
  std::thread watcher_;
  // The late end has a thread and a lock of its own: cutting a tone may
  // wait on the device.
  std::mutex endMutex_;
  std::condition_variable endWake_;
  bool endQuit_ = false;      // guarded by endMutex_
  bool asked_ = false;        // guarded by endMutex_
  LiveView* view_ = nullptr;  // guarded by endMutex_
  std::thread ender_;
};

// Shows the view to the watch for as long as it lives.
class WatchedView {
 public:
  WatchedView(InterruptWatch& watch, LiveView& view) : watch_(watch) { watch_.SetView(&view); }
  ~WatchedView() { watch_.SetView(nullptr); }
  WatchedView(const WatchedView&) = delete;
  WatchedView& operator=(const WatchedView&) = delete;

 private:
  InterruptWatch& watch_;
};

// The program's tone policy: the tone of each instruction, and the end of
// the battle (EControlC) before the instruction takes effect once Ctrl-C
// was pressed. A tone that fails because it was cut short (a device whose
// open was given up) ends the battle the same way.
struct InterruptibleTone {
  static void Play(const CoreCell& cell) {
    if (InterruptRequested()) [[unlikely]]
      ThrowInterrupted();
    try {
      SynthesizeTone(cell);
    } catch (...) {
      if (InterruptRequested()) ThrowInterrupted();
      throw;
    }
    if (InterruptRequested()) [[unlikely]]
      ThrowInterrupted();
  }
};

}  // namespace tw
