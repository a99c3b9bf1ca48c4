// The benchmarks' terminal on Windows: the process's console, when it has
// one of the asked size.
#include "bench/BenchTerminal.h"
// After ours: windows.h defines macros with the names of some of our constants.
// clang-format off
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// clang-format on

namespace tw {

BenchTerminal::BenchTerminal(int cols, int rows) {
  const HANDLE console =
      ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (console == INVALID_HANDLE_VALUE || !::GetConsoleScreenBufferInfo(console, &info)) {
    if (console != INVALID_HANDLE_VALUE) ::CloseHandle(console);
    problem_ = "no console (under Wine: run in a terminal)";
    return;
  }
  const int width = info.srWindow.Right - info.srWindow.Left + 1;
  const int height = info.srWindow.Bottom - info.srWindow.Top + 1;
  if (width != cols || height != rows) {
    ::CloseHandle(console);
    problem_ = "the console is " + std::to_string(width) + " x " + std::to_string(height) +
               ", not " + std::to_string(cols) + " x " + std::to_string(rows);
    return;
  }
  fd_ = ::_open_osfhandle(reinterpret_cast<intptr_t>(console), _O_WRONLY | _O_BINARY);
}

BenchTerminal::~BenchTerminal() {
  if (fd_ >= 0) ::_close(fd_);
}

long BenchTerminal::Bytes() const { return -1; }

const char* NullDevicePath() { return "NUL"; }

}  // namespace tw
