#include "asm/SourceText.h"

#include "asm/Lexer.h"
#include "asm/SourceError.h"

namespace tw::redcode {

SourceText::SourceText(std::string file_name, std::string_view bytes)
    : fileName_(std::move(file_name)) {
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = start;
    while (end < bytes.size() && bytes[end] != '\n' && bytes[end] != '\r') ++end;
    std::string_view line = bytes.substr(start, end - start);
    const std::size_t nul = line.find('\0');
    if (nul != std::string_view::npos) line = line.substr(0, nul);
    lines_.emplace_back(line);
    start = end + 1;
    if (end < bytes.size() && bytes[end] == '\r' && start < bytes.size() && bytes[start] == '\n') {
      ++start;
    }
  }
}

const std::string& SourceText::LineText(std::uint32_t line) const {
  static const std::string kNone;
  return line >= 1 && line <= lines_.size() ? lines_[line - 1] : kNone;
}

void SourceText::Fail(const Token& at, const std::string& what) const {
  FailAt(at.line, at.column, what);
}

void SourceText::FailAfter(const Token& at, const std::string& what) const {
  FailAt(at.line, at.column + static_cast<std::uint32_t>(at.text.size()), what);
}

void SourceText::FailAt(std::uint32_t line, std::uint32_t column, const std::string& what) const {
  throw ERedcodeSourceError(fileName_, line, column, what, LineText(line));
}

void SourceText::FailFile(const std::string& what) const {
  throw ERedcodeSourceError(fileName_, 0, 0, what, "");
}

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r'; }
bool IsWordChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

}  // namespace

PreparedSource PrepareSource(const SourceText& source) {
  PreparedSource prepared;
  bool started = false;
  const std::vector<std::string>& lines = source.Lines();
  for (std::size_t n = 0; n < lines.size(); ++n) {
    const std::string& text = lines[n];
    const auto number = static_cast<std::uint32_t>(n + 1);
    std::size_t first = 0;
    while (first < text.size() && IsBlank(text[first])) ++first;
    if (first == text.size()) continue;
    if (text[first] != ';') {
      TokenLine code{number, static_cast<std::uint32_t>(first + 1), false, LexLine(text, number)};
      if (!code.tokens.empty()) prepared.lines.push_back(std::move(code));
      continue;
    }
    // A comment line: the word after the ";" (blanks before it allowed,
    // except for "redcode", which must touch the ";").
    std::size_t word = first + 1;
    while (word < text.size() && IsBlank(text[word])) ++word;
    std::size_t word_end = word;
    while (word_end < text.size() && IsWordChar(text[word_end])) ++word_end;
    const std::string keyword = Upper(std::string_view(text).substr(word, word_end - word));
    std::size_t rest = word_end;
    while (rest < text.size() && IsBlank(text[rest])) ++rest;
    const std::string_view rest_text = std::string_view(text).substr(rest);
    if (keyword == "REDCODE" && word == first + 1) {
      if (started) break;
      started = true;
      prepared.lines.clear();
    } else if (keyword == "NAME") {
      prepared.name = rest_text.empty() ? "Unknown" : std::string(rest_text);
    } else if (keyword == "AUTHOR") {
      prepared.author = rest_text.empty() ? "Anonymous" : std::string(rest_text);
    } else if (keyword == "ASSERT") {
      TokenLine assertion{number, static_cast<std::uint32_t>(first + 1), true, {}};
      // The condition ends at the next ";"; its columns are the file's.
      assertion.tokens = LexLine(rest_text, number);
      for (Token& t : assertion.tokens) t.column += static_cast<std::uint32_t>(rest);
      prepared.lines.push_back(std::move(assertion));
    }
  }
  return prepared;
}

}  // namespace tw::redcode
