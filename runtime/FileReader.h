#pragma once
// Reading a file whole, for text that the program parses.

#include <functional>
#include <string>
#include <string_view>

namespace tw {

// Hands the bytes of the file FileName to Chunk in file order, in pieces of
// at most 64 KiB, until the end or until Chunk returns false. A named pipe
// that nobody writes to does not hold the open (it reads as empty).
// Raises EFOpenError `Cannot open file "NAME". <system reason>` when the file
// cannot be opened or is a directory, EStreamError `Cannot read file "NAME".
// <system reason>` when reading fails; exceptions of Chunk pass through.
void ReadFileChunks(const std::string& FileName,
                    const std::function<bool(std::string_view)>& Chunk);

}  // namespace tw
