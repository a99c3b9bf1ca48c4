#pragma once
// The one failure of the assembler: a place in a source file and what is
// wrong there. It prints on the report line as
// "ERedcodeSourceError: FILE:LINE:COLUMN: what is wrong".

#include <cstdint>
#include <string>

#include "runtime/Exceptions.h"

namespace tw::redcode {

class ERedcodeSourceError : public Exception {
 public:
  // `line` and `column` are 1-based; 0 for a failure of the whole file (then
  // the message names the file only). `line_text` is the source line shown
  // under the message.
  ERedcodeSourceError(std::string file_name, std::uint32_t line, std::uint32_t column,
                      std::string what, std::string line_text);
  const char* ClassName() const noexcept override { return "ERedcodeSourceError"; }

  const std::string& FileName() const { return fileName_; }
  std::uint32_t Line() const { return line_; }
  std::uint32_t Column() const { return column_; }
  // What is wrong, without the place.
  const std::string& What() const { return what_; }
  const std::string& LineText() const { return lineText_; }

  // The source line (control bytes shown as "?", tabs kept so the caret
  // lines up) and under it a caret at the column, each ended by a line break;
  // empty for a failure of the whole file.
  std::string CaretLines() const;

 private:
  std::string fileName_;
  std::uint32_t line_;
  std::uint32_t column_;
  std::string what_;
  std::string lineText_;
};

}  // namespace tw::redcode
