#pragma once
// The program's own text around a run, shared by the console program and
// the web page so that both print the same lines.

#include <exception>
#include <string>

namespace tw {

// The banner and "program started", each line ended by "\n".
std::string BannerLines();

// The elapsed-time figure: fixed, two decimals, "." as the separator,
// right-aligned in 14 characters.
std::string FormatSeconds(long double seconds);

// What standard error shows under the report line of a failure: where in a
// warrior file a load-form line or a Redcode source failed (for a source,
// the line with a caret under the column), each line ended by "\n"; empty
// for every other failure.
std::string FailureDetailLines(const std::exception& failure);

}  // namespace tw
