#pragma once
// The tonewell-asm program: assembles one Redcode source file and prints it
// in the load form, so the output plays in tonewell unchanged.

#include <ostream>
#include <string>
#include <vector>

namespace tw::redcode {

inline constexpr int kAsmExitOk = 0;
inline constexpr int kAsmExitSourceError = 1;  // the file could not be read or assembled
inline constexpr int kAsmExitUsage = 2;        // a bad command line

// `args` are the arguments after the program name:
//   [-D NAME=VALUE | -DNAME=VALUE]... SOURCE
// -D replaces a predefined constant (or adds one); VALUE is a decimal
// integer. The load form goes to `out`; errors (with the source line and a
// caret under the column) and warnings go to `err`. Returns the exit status.
int AsmMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace tw::redcode
