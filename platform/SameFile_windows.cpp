// Ours before the system's: windows.h defines macros with the names of
// some of our constants.
// clang-format off
#include "platform/SameFile.h"
#include <windows.h>
// clang-format on

namespace tw {
namespace {

// The volume and index of the file `path` names; false when it cannot be
// opened to ask.
bool Identify(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
  const HANDLE file =
      ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool known = ::GetFileInformationByHandle(file, &info) != FALSE;
  ::CloseHandle(file);
  return known;
}

}  // namespace

bool IsSameFile(const std::string& a, const std::string& b) {
  BY_HANDLE_FILE_INFORMATION first{}, second{};
  return Identify(a, first) && Identify(b, second) &&
         first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
         first.nFileIndexHigh == second.nFileIndexHigh &&
         first.nFileIndexLow == second.nFileIndexLow;
}

}  // namespace tw
