#include "core/unit_core_program_utils.h"

#include "core/unit_core_utils.h"
#include "runtime/FileRead.h"

namespace tw {

EWarriorLineError::EWarriorLineError(const Exception& cause, std::string file_name,
                                     std::int64_t line_number, std::string line_text)
    : Exception(cause.Message()),
      className_(cause.ClassName()),
      fileName_(std::move(file_name)),
      lineNumber_(line_number),
      lineText_(std::move(line_text)) {}

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

std::string ReadWarriorFile(const std::string& file_name) {
  std::string bytes;
  ReadFilePieces(file_name, [&bytes](std::string_view piece) {
    const std::size_t nul = piece.find('\0');
    bytes.append(piece.substr(0, nul));
    return nul == std::string_view::npos;
  });
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
  LoadWarriorText(ReadWarriorFile(file_name), file_name, program, start_offset);
}

void LoadWarriorText(std::string_view bytes, const std::string& file_name, Tprogram& program,
                     std::int32_t& start_offset) {
  std::vector<std::string> lines = SplitWarriorLines(bytes);
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
