#pragma once
// The name of the running program's file, as failure reports show it.

namespace tw {

// The file name of the program, without its folder ("tonewell",
// "tonewell.exe"). Valid for the whole run.
const char* ModuleName();

}  // namespace tw
