// Resizes the console of a running Windows program the way a Windows console
// does when the user resizes its window: the active screen buffer's window
// and the buffer itself take the new size. Wine's console on a terminal
// learns the terminal's size only at its start, so the view's checks under
// Wine resize the terminal and then tell the console with this.
//
//   wine ResizeConsole.exe COLS ROWS [PROGRAM.exe]     (default tonewell.exe)
//
// Exits 0 once the program's console has the size; 1 when there is no such
// program, or its console refuses.
//
// Built for Windows by .ci/steps.d/80-windows.sh; not part of the product.

#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

DWORD ProcessNamed(const char* name) {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  DWORD found = 0;
  for (BOOL more = Process32First(snapshot, &entry); more && found == 0;
       more = Process32Next(snapshot, &entry)) {
    if (_stricmp(entry.szExeFile, name) == 0) found = entry.th32ProcessID;
  }
  CloseHandle(snapshot);
  return found;
}

bool Resize(HANDLE screen, SHORT cols, SHORT rows) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(screen, &info)) return false;
  // The window never outgrows the buffer: first the window shrunk to what
  // fits both sizes, then the buffer, then the window at its new size.
  const SHORT fitCols = static_cast<SHORT>(info.dwSize.X < cols ? info.dwSize.X : cols);
  const SHORT fitRows = static_cast<SHORT>(info.dwSize.Y < rows ? info.dwSize.Y : rows);
  const SMALL_RECT fit{0, 0, static_cast<SHORT>(fitCols - 1), static_cast<SHORT>(fitRows - 1)};
  const SMALL_RECT whole{0, 0, static_cast<SHORT>(cols - 1), static_cast<SHORT>(rows - 1)};
  return SetConsoleWindowInfo(screen, TRUE, &fit) &&
         SetConsoleScreenBufferSize(screen, COORD{cols, rows}) &&
         SetConsoleWindowInfo(screen, TRUE, &whole);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: ResizeConsole COLS ROWS [PROGRAM.exe]\n");
    return 2;
  }
  const auto cols = static_cast<SHORT>(std::atoi(argv[1]));
  const auto rows = static_cast<SHORT>(std::atoi(argv[2]));
  const DWORD pid = ProcessNamed(argc > 3 ? argv[3] : "tonewell.exe");
  if (pid == 0) {
    std::fprintf(stderr, "ResizeConsole: no such program running\n");
    return 1;
  }
  FreeConsole();
  if (!AttachConsole(pid)) {
    std::fprintf(stderr, "ResizeConsole: cannot attach to its console (%lu)\n", GetLastError());
    return 1;
  }
  // The active screen buffer: the view's own while the view is up.
  const HANDLE screen =
      CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  const bool resized = screen != INVALID_HANDLE_VALUE && Resize(screen, cols, rows);
  if (!resized) std::fprintf(stderr, "ResizeConsole: the console refused (%lu)\n", GetLastError());
  return resized ? 0 : 1;
}
