#pragma once
// Reading warrior files into programs.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/unit_core_types.h"
#include "runtime/Exceptions.h"

namespace tw {

// A parser failure on one line of a warrior file. It prints exactly as the
// parser's own failure (same class name, same message), so the report line is
// unchanged, and it also carries where the line is, for a second line on
// standard error.
class EWarriorLineError : public Exception {
 public:
  EWarriorLineError(const Exception& cause, std::string file_name, std::int64_t line_number,
                    std::string line_text);
  const char* ClassName() const noexcept override { return className_.c_str(); }
  const std::string& FileName() const { return fileName_; }
  // 1-based, counting every line of the file (comments and blank lines too).
  std::int64_t LineNumber() const { return lineNumber_; }
  const std::string& LineText() const { return lineText_; }

 private:
  std::string className_;
  std::string fileName_;
  std::int64_t lineNumber_;
  std::string lineText_;
};

// Splits the bytes of a warrior file into lines. Lines end at CR LF, a lone LF
// or a lone CR; a line break at the very end adds no empty line; the first NUL
// byte ends the text. No character-set conversion.
std::vector<std::string> SplitWarriorLines(std::string_view bytes);

// Reads the file's bytes up to its first NUL (a device that never ends, such
// as /dev/zero, therefore stops at once). Raises EFOpenError
// `Cannot open file "NAME". <system error text>` when the file cannot be
// opened or is a directory, and EStreamError when reading fails.
std::string ReadWarriorFile(const std::string& file_name);

// Builds the program from the instruction lines: every line whose first
// character is not ";" and that is not empty or blanks only goes to
// ParseRedcodeLine, in file order. Parser failures propagate unchanged.
void ParseProgramLines(const std::vector<std::string>& lines, Tprogram& program);

// The index (0-based, over all lines) of the first line containing "START" in
// any letter case, minus 3; 0 when no line does.
std::int32_t FindStartOffset(const std::vector<std::string>& lines);

// Parses and finds the start of a warrior held in `bytes` (a file's whole
// text); `file_name` names it in failures. A failing line raises
// EWarriorLineError naming the file, the line number and the line's text.
void LoadWarriorText(std::string_view bytes, const std::string& file_name, Tprogram& program,
                     std::int32_t& start_offset);

// Reads, parses and finds the start of one warrior file. File failures
// propagate as raised by ReadWarriorFile; a failing line raises
// EWarriorLineError naming the file, the line number and the line's text.
void LoadWarrior(const std::string& file_name, Tprogram& program, std::int32_t& start_offset);

}  // namespace tw
