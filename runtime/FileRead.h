#pragma once
// Reading a whole input file the way the program's readers want it: a file
// named by the user, which may be a named pipe, a device or a directory.

#include <functional>
#include <string>
#include <string_view>

namespace tw {

// Opens the file for reading and hands its bytes to `take`, a piece at a
// time, until the end of the file or until `take` returns false. The open
// does not block, so a named pipe nobody writes to reads as empty instead of
// holding the program; the reads block as usual.
// Raises EFOpenError `Cannot open file "NAME". <system error text>` when the
// file cannot be opened or is a directory, and EStreamError
// `Cannot read file "NAME". <system error text>` when a read fails.
void ReadFilePieces(const std::string& file_name,
                    const std::function<bool(std::string_view piece)>& take);

}  // namespace tw
