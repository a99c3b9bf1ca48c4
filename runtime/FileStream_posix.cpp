// The file stream over POSIX file descriptors; sharing through advisory locks.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "runtime/Exceptions.h"
#include "runtime/FileStreamParts.h"
#include "runtime/Stream.h"

namespace tw {

TFileStream::TFileStream(const std::string& FileName, uint16_t Mode) : fileName_(FileName) {
  const FileOpenMode mode = DecodeFileMode(Mode);
  int flags = O_CLOEXEC | (mode.create ? O_CREAT | O_TRUNC : 0);
  flags |= mode.access == FileAccess::kWrite       ? O_WRONLY
           : mode.access == FileAccess::kReadWrite ? O_RDWR
                                                   : O_RDONLY;
  // Advisory locks cannot keep readers out alone: deny-read locks nothing.
  const int lock = mode.sharing == FileSharing::kDenyReadWrite ? LOCK_EX
                   : mode.sharing == FileSharing::kDenyWrite   ? LOCK_SH
                                                               : 0;
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
  const off_t result = ::lseek(handle_, static_cast<off_t>(Offset), SeekWhence(Origin));
  if (result < 0) throw EStreamError("Stream seek error");
  return result;
}

namespace {

// A POSIX read or write result as MoveAllBytes wants it.
int64_t Moved(ssize_t n) { return n < 0 ? (errno == EINTR ? -1 : 0) : n; }

}  // namespace

int64_t TFileStream::Read(void* Buffer, int64_t Count) {
  return MoveAllBytes(Count, [&](int64_t done, int64_t left) {
    return Moved(::read(handle_, static_cast<uint8_t*>(Buffer) + done, static_cast<size_t>(left)));
  });
}

int64_t TFileStream::Write(const void* Buffer, int64_t Count) {
  return MoveAllBytes(Count, [&](int64_t done, int64_t left) {
    return Moved(
        ::write(handle_, static_cast<const uint8_t*>(Buffer) + done, static_cast<size_t>(left)));
  });
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
