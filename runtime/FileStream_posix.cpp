// The file stream over POSIX file descriptors; sharing through advisory locks.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "runtime/Exceptions.h"
#include "runtime/Stream.h"

namespace tw {

TFileStream::TFileStream(const std::string& FileName, uint16_t Mode) : fileName_(FileName) {
  int flags = O_CLOEXEC;
  int lock = 0;
  if (Mode == fmCreate) {
    flags |= O_RDWR | O_CREAT | O_TRUNC;
    lock = LOCK_EX;
  } else {
    const uint16_t access = Mode & 0x000F;
    const uint16_t share = Mode & 0x00F0;
    if (access == fmOpenWrite) {
      flags |= O_WRONLY;
    } else if (access == fmOpenReadWrite) {
      flags |= O_RDWR;
    } else {
      flags |= O_RDONLY;
    }
    if (share == fmShareExclusive || (share == fmShareCompat && access != fmOpenRead)) {
      lock = LOCK_EX;
    } else if (share == fmShareDenyWrite) {
      lock = LOCK_SH;
    }
  }
  // The exclusive lock is taken before truncating, so creating a file that
  // another stream is reading under deny-write leaves it intact.
  const bool truncateLater = (flags & O_TRUNC) != 0;
  handle_ = ::open(FileName.c_str(), flags & ~O_TRUNC, 0666);
  int error = errno;
  if (handle_ >= 0 && lock != 0 && ::flock(handle_, lock | LOCK_NB) != 0) {
    error = errno;
    ::close(handle_);
    handle_ = -1;
  }
  if (handle_ >= 0 && truncateLater && ::ftruncate(handle_, 0) != 0) {
    error = errno;
    ::close(handle_);
    handle_ = -1;
  }
  if (handle_ < 0) {
    throw EFOpenError("Cannot open file \"" + FileName + "\". " + std::strerror(error));
  }
}

TFileStream::~TFileStream() {
  if (handle_ >= 0) ::close(handle_);
}

int64_t TFileStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  const int whence = Origin == TSeekOrigin::soBeginning ? SEEK_SET
                     : Origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                        : SEEK_END;
  const off_t result = ::lseek(handle_, static_cast<off_t>(Offset), whence);
  if (result < 0) throw EStreamError("Stream seek error");
  return result;
}

int64_t TFileStream::Read(void* Buffer, int64_t Count) {
  int64_t done = 0;
  while (done < Count) {
    const ssize_t n =
        ::read(handle_, static_cast<uint8_t*>(Buffer) + done, static_cast<size_t>(Count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

int64_t TFileStream::Write(const void* Buffer, int64_t Count) {
  int64_t done = 0;
  while (done < Count) {
    const ssize_t n = ::write(handle_, static_cast<const uint8_t*>(Buffer) + done,
                              static_cast<size_t>(Count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

void TFileStream::SetSize(int64_t NewSize) {
  if (NewSize < 0 || ::ftruncate(handle_, static_cast<off_t>(NewSize)) != 0) {
    throw EStreamError("Stream size error");
  }
  if (Position() > NewSize) Seek(NewSize, TSeekOrigin::soBeginning);
}

int64_t TFileStream::Size() {
  struct stat st {};
  if (::fstat(handle_, &st) != 0) throw EStreamError("Stream size error");
  return st.st_size;
}

}  // namespace tw
