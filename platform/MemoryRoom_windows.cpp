// Ours before the system's: windows.h defines macros with the names of
// some of our constants.
// clang-format off
#include "platform/MemoryRoom.h"
#include <windows.h>
// clang-format on

#include <algorithm>

namespace tw {

std::uint64_t MemoryRoom() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (!::GlobalMemoryStatusEx(&status)) return UINT64_MAX;
  // What the system can commit (memory and page file), and what is left of
  // this process's address space.
  return std::min<std::uint64_t>(status.ullAvailPageFile, status.ullAvailVirtual);
}

}  // namespace tw
