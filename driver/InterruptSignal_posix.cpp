// Ctrl-C as SIGINT; the other signals that end a program by default.
#include <errno.h>
#include <semaphore.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <mutex>

#include "driver/Interrupt.h"

namespace tw::interrupt_detail {
namespace {

// Posted by the signal handler (sem_post may be called there); the watch's
// thread waits on it. Made once and kept: a post left from an earlier watch
// only wakes the next one to look at the request.
sem_t gSignalled;
std::once_flag gMade;

// The signals a run ends on, Ctrl-C first, and what they had before.
constexpr std::array<int, 8> kSignals = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,
                                         SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2};
std::array<struct sigaction, kSignals.size()> gPrevious{};
struct sigaction gPreviousFileSize {};

void OnSignal(int signal) {
  if (signal != SIGINT) {
    int none = 0;
    gEndingSignal.compare_exchange_strong(none, signal, std::memory_order_relaxed);
  }
  gRequested.store(true, std::memory_order_relaxed);
  sem_post(&gSignalled);
}

}  // namespace

void InstallSignalHandler() {
  std::call_once(gMade, [] { sem_init(&gSignalled, 0, 0); });
  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    sigaction(kSignals[i], nullptr, &gPrevious[i]);
    // A program started with a signal ignored (SIGINT in a background job
    // of a shell without job control, SIGHUP under nohup) keeps ignoring
    // it, as such programs are meant to; one already handled is left alone.
    if (gPrevious[i].sa_handler != SIG_DFL || (gPrevious[i].sa_flags & SA_SIGINFO) != 0) continue;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(kSignals[i], &action, nullptr);
  }
  // A write past the file-size limit fails with EFBIG instead of ending
  // the program: the recording reports it like a full disk.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGXFSZ, &ignore, &gPreviousFileSize);
}

void RestoreSignalHandler() {
  for (std::size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &gPrevious[i], nullptr);
  sigaction(SIGXFSZ, &gPreviousFileSize, nullptr);
}

void WaitForSignal() {
  while (sem_wait(&gSignalled) != 0 && errno == EINTR) {
  }
}

void WakeSignalWaiter() { sem_post(&gSignalled); }

int ControlCSignal() { return SIGINT; }

void EndNow(int signal) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  raise(signal);
  _exit(128 + signal);  // not reached: the default action of each signal ends the process
}

}  // namespace tw::interrupt_detail
