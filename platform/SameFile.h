#pragma once
// Whether two paths name one file, however each is spelled (links, "..",
// /dev/fd/N): the system's identity of the file is compared, not the names.

#include <string>

namespace tw {

// True when both paths name existing files and they are the same file
// (POSIX: device and inode; Windows: volume and file index). False when
// either cannot be looked at.
bool IsSameFile(const std::string& a, const std::string& b);

}  // namespace tw
