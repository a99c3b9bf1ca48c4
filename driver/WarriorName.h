#pragma once
// The name a warrior is shown by: its ";name" line, else its file's name
// without folder and extension; control bytes as "?", at most 24
// characters.

#include <string>
#include <string_view>

namespace tw {

// From the warrior's text: the first of its first 1000 lines (split at LF)
// that starts ";name" or ";NAME" and has a name after it.
std::string WarriorNameOfText(std::string_view text, const std::string& file_name);

}  // namespace tw
