#include "core/unit_core_program_utils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/unit_core_utils.h"

namespace tw {

EWarriorLineError::EWarriorLineError(const Exception& cause, std::string file_name,
                                     std::int64_t line_number, std::string line_text)
    : Exception(cause.Message()),
      class_name_(cause.ClassName()),
      file_name_(std::move(file_name)),
      line_number_(line_number),
      line_text_(std::move(line_text)) {}

std::vector<std::string> SplitWarriorLines(std::string_view bytes) {
  std::size_t nul = bytes.find('\0');
  if (nul != std::string_view::npos) bytes = bytes.substr(0, nul);

  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      lines.emplace_back(bytes.substr(start));
      break;
    }
    lines.emplace_back(bytes.substr(start, end - start));
    start = end + 1;
    if (bytes[end] == '\r' && start < bytes.size() && bytes[start] == '\n') ++start;
  }
  return lines;
}

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

[[noreturn]] void ThrowOpenError(const std::string& file_name, int error) {
  throw EFOpenError("Cannot open file \"" + file_name + "\". " + std::strerror(error));
}

}  // namespace

std::string ReadWarriorFile(const std::string& file_name) {
  // Opened without blocking, so a named pipe nobody writes to cannot hold the
  // program at the open; reads block again as usual (such a pipe reads as
  // empty).
  FileDescriptor fd(::open(file_name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) ThrowOpenError(file_name, errno);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) ThrowOpenError(file_name, errno);
  if (S_ISDIR(info.st_mode)) ThrowOpenError(file_name, EISDIR);
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);

  std::string bytes;
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw EStreamError("Cannot read file \"" + file_name + "\". " + std::strerror(errno));
    }
    if (got == 0) break;
    std::string_view chunk(buffer, static_cast<std::size_t>(got));
    std::size_t nul = chunk.find('\0');
    bytes.append(chunk.substr(0, nul));
    if (nul != std::string_view::npos) break;
  }
  return bytes;
}

namespace {

bool IsBlankOnly(const std::string& line) {
  return line.find_first_not_of(" \t\v\f") == std::string::npos;
}

bool IsSkipped(const std::string& line) {
  return line.empty() || line[0] == ';' || IsBlankOnly(line);
}

// Parses the lines into `program`; on a failure reports the 0-based index of
// the failing line through `failed_line` and rethrows.
void ParseLines(const std::vector<std::string>& lines, Tprogram& program,
                std::size_t& failed_line) {
  program.assign(CoreSize, CoreCell{});
  std::size_t count = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (IsSkipped(lines[i])) continue;
    failed_line = i;
    ParseRedcodeLine(lines[i], program[count]);
    ++count;
    if (count == program.size()) program.resize(program.size() + CoreSize);
  }
  program.resize(count);
  program.shrink_to_fit();
}

}  // namespace

void ParseProgramLines(const std::vector<std::string>& lines, Tprogram& program) {
  std::size_t failed_line = 0;
  ParseLines(lines, program, failed_line);
}

std::int32_t FindStartOffset(const std::vector<std::string>& lines) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    for (std::size_t p = 0; p + 5 <= line.size(); ++p) {
      if ((line[p] | 0x20) == 's' && (line[p + 1] | 0x20) == 't' && (line[p + 2] | 0x20) == 'a' &&
          (line[p + 3] | 0x20) == 'r' && (line[p + 4] | 0x20) == 't') {
        return static_cast<std::int32_t>(static_cast<std::int64_t>(i) - 3);
      }
    }
  }
  return 0;
}

void LoadWarrior(const std::string& file_name, Tprogram& program, std::int32_t& start_offset) {
  std::vector<std::string> lines = SplitWarriorLines(ReadWarriorFile(file_name));
  std::size_t failed_line = 0;
  try {
    ParseLines(lines, program, failed_line);
  } catch (const Exception& e) {
    throw EWarriorLineError(e, file_name, static_cast<std::int64_t>(failed_line) + 1,
                            lines[failed_line]);
  }
  start_offset = FindStartOffset(lines);
}

}  // namespace tw
