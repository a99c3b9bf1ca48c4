// Ctrl-C as the console's control event: the system calls the handler on a
// thread of its own.

// Ours before the system's: windows.h defines macros with the names of
// some of our constants.
// clang-format off
#include "driver/Interrupt.h"
#include <windows.h>
// clang-format on

#include <climits>
#include <mutex>

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

// The exit status a console program killed by Ctrl-C has.
int ControlCSignal() { return 0; }

void EndNow(int) { ::ExitProcess(STATUS_CONTROL_C_EXIT); }

}  // namespace tw::interrupt_detail
