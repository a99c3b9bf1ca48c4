#pragma once
// The assembler: ICWS'94 Redcode source (with the P-space extensions) in, a
// warrior with every field resolved out.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "asm/Expander.h"
#include "asm/Warrior.h"

namespace tw::redcode {

struct AssemblerOptions {
  // Values that replace predefined constants (CORESIZE, MAXPROCESSES,
  // MAXCYCLES, MAXLENGTH, MINDISTANCE, ROUNDS, PSPACESIZE, WARRIORS,
  // VERSION) or add constants of other names.
  std::map<std::string, std::int64_t> constants;
};

// Assembles the bytes of one source file; `file_name` is only used in
// errors. Every problem raises ERedcodeSourceError with the file, line and
// column; nothing is returned then. More instructions than MAXLENGTH is an
// error, and so is expansion work past ExpansionLimits (a FOR count above
// 65535, EQU or FOR nested more than 64 deep, more than 100000 lines read or
// 500000 tokens made while expanding).
AssembledWarrior AssembleSource(std::string_view bytes, const std::string& file_name,
                                const AssemblerOptions& options = {});

// Reads the whole file (at most 1 MiB) and assembles it. A file that cannot
// be opened raises EFOpenError `Cannot open file "NAME". <reason>`, a read
// failure EStreamError, a larger file ERedcodeSourceError.
AssembledWarrior AssembleFile(const std::string& file_name, const AssemblerOptions& options = {});

// The bytes of a source file, with the failures of AssembleFile.
std::string ReadSourceFile(const std::string& file_name);

}  // namespace tw::redcode
