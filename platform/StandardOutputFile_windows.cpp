// Ours before the system's: windows.h defines macros with the names of
// some of our constants.
// clang-format off
#include "sound/WavRecorder.h"
#include <windows.h>
// clang-format on

namespace tw {

// The C runtime's file status has no inode on Windows; the system names a
// file by its volume and its index on that volume.
bool IsStandardOutput(const std::string& path) {
  if (path.empty()) return false;
  BY_HANDLE_FILE_INFORMATION out{}, target{};
  const HANDLE stdout_handle = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (stdout_handle == nullptr || stdout_handle == INVALID_HANDLE_VALUE ||
      !::GetFileInformationByHandle(stdout_handle, &out)) {
    return false;  // a console or a pipe: no file a path could name
  }
  const HANDLE file =
      ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool known = ::GetFileInformationByHandle(file, &target) != FALSE;
  ::CloseHandle(file);
  return known && out.dwVolumeSerialNumber == target.dwVolumeSerialNumber &&
         out.nFileIndexHigh == target.nFileIndexHigh && out.nFileIndexLow == target.nFileIndexLow;
}

}  // namespace tw
