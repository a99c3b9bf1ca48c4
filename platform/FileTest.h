#pragma once
// Whether a path names a file, as the command line checks it.

#include <string>

namespace tw {

// True when `path` names an existing file system entry that is not a
// directory (on Windows: its file attributes can be read and do not say
// directory).
bool IsExistingFile(const std::string& path);

}  // namespace tw
