// The file stream over the C runtime's file handles; sharing through the
// system's own share modes, which every program on the machine honours.
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "runtime/Exceptions.h"
#include "runtime/Stream.h"

namespace tw {

TFileStream::TFileStream(const std::string& FileName, uint16_t Mode) : fileName_(FileName) {
  int flags = _O_BINARY | _O_NOINHERIT;
  int share = _SH_DENYNO;
  if (Mode == fmCreate) {
    flags |= _O_RDWR | _O_CREAT | _O_TRUNC;
    share = _SH_DENYRW;
  } else {
    const uint16_t access = Mode & 0x000F;
    const uint16_t sharing = Mode & 0x00F0;
    if (access == fmOpenWrite) {
      flags |= _O_WRONLY;
    } else if (access == fmOpenReadWrite) {
      flags |= _O_RDWR;
    } else {
      flags |= _O_RDONLY;
    }
    if (sharing == fmShareExclusive || (sharing == fmShareCompat && access != fmOpenRead)) {
      share = _SH_DENYRW;
    } else if (sharing == fmShareDenyWrite) {
      share = _SH_DENYWR;
    } else if (sharing == fmShareDenyRead) {
      share = _SH_DENYRD;
    }
  }
  // A share conflict fails the open before a create truncates anything.
  const errno_t error = ::_sopen_s(&handle_, FileName.c_str(), flags, share, _S_IREAD | _S_IWRITE);
  if (error != 0) {
    handle_ = -1;
    throw EFOpenError("Cannot open file \"" + FileName + "\". " + std::strerror(error));
  }
}

TFileStream::~TFileStream() {
  if (handle_ >= 0) ::_close(handle_);
}

int64_t TFileStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  const int whence = Origin == TSeekOrigin::soBeginning ? SEEK_SET
                     : Origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                        : SEEK_END;
  const int64_t result = ::_lseeki64(handle_, Offset, whence);
  if (result < 0) throw EStreamError("Stream seek error");
  return result;
}

int64_t TFileStream::Read(void* Buffer, int64_t Count) {
  int64_t done = 0;
  while (done < Count) {
    const auto chunk = static_cast<unsigned>(std::min<int64_t>(Count - done, INT_MAX));
    const int n = ::_read(handle_, static_cast<uint8_t*>(Buffer) + done, chunk);
    if (n <= 0) break;
    done += n;
  }
  return done;
}

int64_t TFileStream::Write(const void* Buffer, int64_t Count) {
  int64_t done = 0;
  while (done < Count) {
    const auto chunk = static_cast<unsigned>(std::min<int64_t>(Count - done, INT_MAX));
    const int n = ::_write(handle_, static_cast<const uint8_t*>(Buffer) + done, chunk);
    if (n <= 0) break;
    done += n;
  }
  return done;
}

void TFileStream::SetSize(int64_t NewSize) {
  if (NewSize < 0 || ::_chsize_s(handle_, NewSize) != 0) throw EStreamError("Stream size error");
  if (Position() > NewSize) Seek(NewSize, TSeekOrigin::soBeginning);
}

int64_t TFileStream::Size() {
  const int64_t size = ::_filelengthi64(handle_);
  if (size < 0) throw EStreamError("Stream size error");
  return size;
}

}  // namespace tw
