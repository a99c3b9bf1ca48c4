#pragma once
// What the file stream of every system shares: the meaning of a mode word,
// and the loop that moves a whole count of bytes through calls that may move
// fewer. Each system's TFileStream (FileStream_posix.cpp,
// FileStream_windows.cpp) maps these onto its own calls.

#include <cstdint>
#include <cstdio>

#include "runtime/Stream.h"

namespace tw {

enum class FileAccess { kRead, kWrite, kReadWrite };
// What other opens of the same file the stream keeps out while it is open.
enum class FileSharing { kDenyNone, kDenyRead, kDenyWrite, kDenyReadWrite };

struct FileOpenMode {
  FileAccess access = FileAccess::kRead;
  bool create = false;  // create the file, or empty it
  FileSharing sharing = FileSharing::kDenyNone;
};

// fmCreate: read and write, created or emptied, nobody else. Otherwise the
// access in the low nibble and the sharing in the next; compatibility mode
// denies others everything unless the stream only reads.
inline FileOpenMode DecodeFileMode(uint16_t Mode) {
  if (Mode == fmCreate) return {FileAccess::kReadWrite, true, FileSharing::kDenyReadWrite};
  FileOpenMode mode;
  const uint16_t access = Mode & 0x000F;
  const uint16_t share = Mode & 0x00F0;
  mode.access = access == fmOpenWrite       ? FileAccess::kWrite
                : access == fmOpenReadWrite ? FileAccess::kReadWrite
                                            : FileAccess::kRead;
  if (share == fmShareExclusive || (share == fmShareCompat && access != fmOpenRead)) {
    mode.sharing = FileSharing::kDenyReadWrite;
  } else if (share == fmShareDenyWrite) {
    mode.sharing = FileSharing::kDenyWrite;
  } else if (share == fmShareDenyRead) {
    mode.sharing = FileSharing::kDenyRead;
  }
  return mode;
}

// The C library's whence for a seek origin.
inline int SeekWhence(TSeekOrigin Origin) {
  return Origin == TSeekOrigin::soBeginning ? SEEK_SET
         : Origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                            : SEEK_END;
}

// Calls `step(done, left)` until Count bytes are moved; `step` returns how
// many it moved, 0 at the end of the file or on a failure (the loop stops),
// or -1 to be called again (an interrupted call). Returns the bytes moved.
template <class Step>
int64_t MoveAllBytes(int64_t Count, Step&& step) {
  int64_t done = 0;
  while (done < Count) {
    const int64_t n = step(done, Count - done);
    if (n < 0) continue;
    if (n == 0) break;
    done += n;
  }
  return done;
}

}  // namespace tw
