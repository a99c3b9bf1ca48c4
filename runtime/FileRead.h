#pragma once
// Reading a whole input file the way the program's readers want it: a file
// named by the user, which may be a named pipe, a device or a directory.

#include <functional>
#include <string>
#include <string_view>

namespace tw {

// Opens the file for reading and hands its bytes to `take`, a piece at a
// time, until the end of the file or until `take` returns false. A named
// pipe, a terminal or another device is read as `cat` reads it: a pipe
// nobody writes to yet is waited for until a writer comes and goes (POSIX;
// the wait check below is called every 100 ms meanwhile).
// Raises EFOpenError `Cannot open file "NAME". <system error text>` when the
// file cannot be opened or is a directory, and EStreamError
// `Cannot read file "NAME". <system error text>` when a read fails.
void ReadFilePieces(const std::string& file_name,
                    const std::function<bool(std::string_view piece)>& take);

// Called every 100 ms while ReadFilePieces waits for a pipe or device to
// give data; it may raise to give the read up (the program is ending). Null
// (the default) for none. The program's Ctrl-C watch sets it.
using ReadWaitCheck = void (*)();
void SetReadWaitCheck(ReadWaitCheck check);
// Calls the check, if one is set.
void CheckReadWait();
}  // namespace tw
