#pragma once
// A source file as lines, and the first reading of those lines: the header
// comments (";redcode", ";name", ";author", ";assert") and the tokens of
// every line that holds code.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "asm/Token.h"

namespace tw::redcode {

// The physical lines of a source file, kept for error messages.
class SourceText {
 public:
  // Lines end at CR LF, a lone LF or a lone CR; a NUL byte ends its line (the
  // rest of that line is not read).
  SourceText(std::string file_name, std::string_view bytes);

  const std::string& FileName() const { return fileName_; }
  const std::vector<std::string>& Lines() const { return lines_; }
  // The text of 1-based line `line`; empty when there is no such line.
  const std::string& LineText(std::uint32_t line) const;

  // Raise ERedcodeSourceError at a token, just after a token, at a line and
  // column, or for the whole file.
  [[noreturn]] void Fail(const Token& at, const std::string& what) const;
  [[noreturn]] void FailAfter(const Token& at, const std::string& what) const;
  [[noreturn]] void FailAt(std::uint32_t line, std::uint32_t column, const std::string& what) const;
  [[noreturn]] void FailFile(const std::string& what) const;

 private:
  std::string fileName_;
  std::vector<std::string> lines_;
};

// One line that takes part in assembly: either code (its tokens, comment
// cut off) or an ";assert" (the tokens of its condition).
struct TokenLine {
  std::uint32_t line = 0;
  std::uint32_t column = 1;  // where the line's first token or the ";" stands
  bool is_assert = false;
  std::vector<Token> tokens;
};

struct PreparedSource {
  std::vector<TokenLine> lines;
  std::string name = "Unknown";
  std::string author = "Anonymous";
};

// Reads the header comments and tokenises the code lines:
// - A line whose first non-blank character is ";" is a comment. Directly
//   after the ";", the word "redcode" (any case) marks the start of the
//   warrior: everything gathered before the first such line is dropped, and
//   a second one ends the file. ";name TEXT" and ";author TEXT" set the name
//   and the author (the last one wins; the rest of the line, "Unknown" and
//   "Anonymous" when it is empty); ";assert EXPR" is kept for the expander.
//   Any other comment line is skipped.
// - Blank lines are skipped; every other line's tokens up to a ";" are kept.
PreparedSource PrepareSource(const SourceText& source);

}  // namespace tw::redcode
