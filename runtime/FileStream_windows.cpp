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
#include "runtime/FileStreamParts.h"
#include "runtime/Stream.h"

namespace tw {

TFileStream::TFileStream(const std::string& FileName, uint16_t Mode) : fileName_(FileName) {
  const FileOpenMode mode = DecodeFileMode(Mode);
  int flags = _O_BINARY | _O_NOINHERIT | (mode.create ? _O_CREAT | _O_TRUNC : 0);
  flags |= mode.access == FileAccess::kWrite       ? _O_WRONLY
           : mode.access == FileAccess::kReadWrite ? _O_RDWR
                                                   : _O_RDONLY;
  const int share = mode.sharing == FileSharing::kDenyReadWrite ? _SH_DENYRW
                    : mode.sharing == FileSharing::kDenyWrite   ? _SH_DENYWR
                    : mode.sharing == FileSharing::kDenyRead    ? _SH_DENYRD
                                                                : _SH_DENYNO;
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
  const int64_t result = ::_lseeki64(handle_, Offset, SeekWhence(Origin));
  if (result < 0) throw EStreamError("Stream seek error");
  return result;
}

namespace {

// The runtime's calls move at most INT_MAX bytes at a time.
unsigned Chunk(int64_t left) { return static_cast<unsigned>(std::min<int64_t>(left, INT_MAX)); }
int64_t Moved(int n) { return n < 0 ? 0 : n; }

}  // namespace

int64_t TFileStream::Read(void* Buffer, int64_t Count) {
  return MoveAllBytes(Count, [&](int64_t done, int64_t left) {
    return Moved(::_read(handle_, static_cast<uint8_t*>(Buffer) + done, Chunk(left)));
  });
}

int64_t TFileStream::Write(const void* Buffer, int64_t Count) {
  return MoveAllBytes(Count, [&](int64_t done, int64_t left) {
    return Moved(::_write(handle_, static_cast<const uint8_t*>(Buffer) + done, Chunk(left)));
  });
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
