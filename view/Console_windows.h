#pragma once
// The Windows console behind a descriptor, for the view's screens.

// Ours before the system's: windows.h defines macros with the names of
// some of our constants.
// clang-format off
#include <io.h>
#include <windows.h>
// clang-format on

namespace tw {

// The console screen buffer behind descriptor `fd`, or null when `fd` is a
// file, a pipe or the null device (whose C runtime descriptor still counts
// as a character device). The handle is the descriptor's: not to be closed.
inline HANDLE ConsoleOf(int fd) {
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (handle == INVALID_HANDLE_VALUE || !::GetConsoleScreenBufferInfo(handle, &info)) {
    return nullptr;
  }
  return handle;
}

}  // namespace tw
