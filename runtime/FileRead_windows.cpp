#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "runtime/Exceptions.h"
#include "runtime/FileRead.h"

namespace tw {
namespace {

class FileHandle {
 public:
  explicit FileHandle(int fd) : fd_(fd) {}
  ~FileHandle() {
    if (fd_ >= 0) ::_close(fd_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

[[noreturn]] void CannotOpen(const std::string& file_name, int error) {
  throw EFOpenError("Cannot open file \"" + file_name + "\". " + std::strerror(error));
}

}  // namespace

void ReadFilePieces(const std::string& file_name,
                    const std::function<bool(std::string_view piece)>& take) {
  // A directory is refused by the open itself with a mere "Permission
  // denied"; asked first, it gets the reason a user understands.
  const DWORD attributes = ::GetFileAttributesA(file_name.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    CannotOpen(file_name, EISDIR);
  }
  int raw = -1;
  const errno_t error =
      ::_sopen_s(&raw, file_name.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT, _SH_DENYNO, 0);
  if (error != 0) CannotOpen(file_name, error);
  FileHandle fd(raw);

  char buffer[65536];
  for (;;) {
    const int got = ::_read(fd.get(), buffer, sizeof buffer);
    if (got < 0) {
      throw EStreamError("Cannot read file \"" + file_name + "\". " + std::strerror(errno));
    }
    if (got == 0 || !take(std::string_view(buffer, static_cast<std::size_t>(got)))) break;
  }
}

}  // namespace tw
