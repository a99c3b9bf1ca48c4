#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "runtime/Exceptions.h"
#include "runtime/FileRead.h"

namespace tw {

namespace {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

[[noreturn]] void CannotOpen(const std::string& file_name, int error) {
  throw EFOpenError("Cannot open file \"" + file_name + "\". " + std::strerror(error));
}

// Waits until a pipe or device has data (or its writer has gone), calling
// the wait check every 100 ms.
void WaitForData(int fd, const std::string& file_name) {
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, 100);
    if (ready > 0) return;
    if (ready < 0 && errno != EINTR) {
      throw EStreamError("Cannot read file \"" + file_name + "\". " + std::strerror(errno));
    }
    CheckReadWait();
  }
}

}  // namespace

void ReadFilePieces(const std::string& file_name,
                    const std::function<bool(std::string_view piece)>& take) {
  FileDescriptor fd(::open(file_name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) CannotOpen(file_name, errno);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) CannotOpen(file_name, errno);
  if (S_ISDIR(info.st_mode)) CannotOpen(file_name, EISDIR);
  // The open did not wait for a pipe's writer (an open that waits cannot be
  // given up); the reads wait in poll instead, where they can.
  const bool waits = !S_ISREG(info.st_mode);
  if (!waits) {
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  }

  char buffer[65536];
  for (;;) {
    if (waits) WaitForData(fd.get(), file_name);
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      throw EStreamError("Cannot read file \"" + file_name + "\". " + std::strerror(errno));
    }
    if (got == 0 || !take(std::string_view(buffer, static_cast<std::size_t>(got)))) return;
  }
}

}  // namespace tw
