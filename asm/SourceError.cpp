#include "asm/SourceError.h"

namespace tw::redcode {

namespace {

std::string Place(const std::string& file_name, std::uint32_t line, std::uint32_t column) {
  if (line == 0) return file_name;
  return file_name + ":" + std::to_string(line) + ":" + std::to_string(column);
}

}  // namespace

ERedcodeSourceError::ERedcodeSourceError(std::string file_name, std::uint32_t line,
                                         std::uint32_t column, std::string what,
                                         std::string line_text)
    : Exception(Place(file_name, line, column) + ": " + what),
      fileName_(std::move(file_name)),
      line_(line),
      column_(column),
      what_(std::move(what)),
      lineText_(std::move(line_text)) {}

std::string ERedcodeSourceError::CaretLines() const {
  if (line_ == 0) return "";
  constexpr std::size_t kMaxShown = 300;
  std::string shown;
  std::string caret;
  for (std::size_t i = 0; i < lineText_.size() && i < kMaxShown; ++i) {
    const unsigned char c = static_cast<unsigned char>(lineText_[i]);
    const bool tab = c == '\t';
    shown += tab || (c >= 0x20 && c < 0x7F) ? lineText_[i] : '?';
    if (i + 1 < column_) caret += tab ? '\t' : ' ';
  }
  if (lineText_.size() > kMaxShown) shown += "...";
  if (column_ > lineText_.size() + 1 && column_ <= kMaxShown) {
    caret.append(column_ - 1 - lineText_.size(), ' ');
  }
  return shown + "\n" + caret + "^\n";
}

}  // namespace tw::redcode
