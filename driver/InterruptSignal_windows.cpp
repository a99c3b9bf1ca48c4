// Ctrl-C as the console's control event: the system calls the handler on a
// thread of its own.
#include <windows.h>

#include <climits>
#include <mutex>

#include "driver/Interrupt.h"

namespace tw::interrupt_detail {
namespace {

// The watch's thread waits on it. Made once and kept: a release left from an
// earlier watch only wakes the next one to look at the request.
HANDLE gSignalled = nullptr;
std::once_flag gMade;

BOOL WINAPI OnControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;  // closing, logoff
  gRequested.store(true, std::memory_order_relaxed);
  ::ReleaseSemaphore(gSignalled, 1, nullptr);
  return TRUE;
}

}  // namespace

// A program started with Ctrl-C ignored (a process group of its own) never
// sees the event: the system keeps ignoring it for us.
void InstallSignalHandler() {
  std::call_once(gMade, [] { gSignalled = ::CreateSemaphoreA(nullptr, 0, LONG_MAX, nullptr); });
  ::SetConsoleCtrlHandler(OnControl, TRUE);
}

void RestoreSignalHandler() { ::SetConsoleCtrlHandler(OnControl, FALSE); }

void WaitForSignal() { ::WaitForSingleObject(gSignalled, INFINITE); }

void WakeSignalWaiter() { ::ReleaseSemaphore(gSignalled, 1, nullptr); }

}  // namespace tw::interrupt_detail
