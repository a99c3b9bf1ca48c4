// Ctrl-C as SIGINT.
#include <errno.h>
#include <semaphore.h>
#include <signal.h>

#include <mutex>

#include "driver/Interrupt.h"

namespace tw::interrupt_detail {
namespace {

// Posted by the signal handler (sem_post may be called there); the watch's
// thread waits on it. Made once and kept: a post left from an earlier watch
// only wakes the next one to look at the request.
sem_t gSignalled;
std::once_flag gMade;
struct sigaction gPrevious {};

void OnInterrupt(int) {
  gRequested.store(true, std::memory_order_relaxed);
  sem_post(&gSignalled);
}

}  // namespace

void InstallSignalHandler() {
  std::call_once(gMade, [] { sem_init(&gSignalled, 0, 0); });
  // A program started with SIGINT ignored (a background job of a shell
  // without job control) keeps ignoring it, as such jobs are meant to.
  sigaction(SIGINT, nullptr, &gPrevious);
  if (gPrevious.sa_handler == SIG_IGN) return;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
}

void RestoreSignalHandler() { sigaction(SIGINT, &gPrevious, nullptr); }

void WaitForSignal() {
  while (sem_wait(&gSignalled) != 0 && errno == EINTR) {
  }
}

void WakeSignalWaiter() { sem_post(&gSignalled); }

}  // namespace tw::interrupt_detail
