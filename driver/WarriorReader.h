#pragma once
// Which reader turns a warrior file into a program: the load-form reader
// (one written-out instruction a line) or the Redcode source assembler. The
// choice is the environment variable TONEWELL_REDCODE, so the command line
// stays as it is.

#include <cstdint>
#include <string>
#include <string_view>

#include "asm/Assembler.h"
#include "asm/Warrior.h"
#include "core/unit_core_types.h"
#include "runtime/Exceptions.h"

namespace tw {

// A TONEWELL_REDCODE value that names no reader.
TW_DECLARE_EXCEPTION(ERedcodeSettingError, Exception);

enum class WarriorReader { kLoadForm, kSource };

// "" (and unset) or "load": the load form; "source": the assembler. Anything
// else raises ERedcodeSettingError naming the value and the accepted forms.
WarriorReader SelectWarriorReader(const std::string& setting);

// SelectWarriorReader of the environment's TONEWELL_REDCODE.
WarriorReader WarriorReaderFromEnvironment();

// Reads one warrior file with the chosen reader. kLoadForm is LoadWarrior,
// failures and all. kSource assembles the file (ERedcodeSourceError for a
// source that does not assemble, EFOpenError when it cannot be opened) and
// sets the start offset to the start the source names.
void ReadWarrior(WarriorReader reader, const std::string& file_name, Tprogram& program,
                 std::int32_t& start_offset, const redcode::AssemblerOptions& options = {});

// The same for a warrior whose file's text is `bytes` (`file_name` only
// names it in failures): nothing is read from the file system.
void ReadWarriorText(WarriorReader reader, std::string_view bytes, const std::string& file_name,
                     Tprogram& program, std::int32_t& start_offset,
                     const redcode::AssemblerOptions& options = {});

// The cells of an assembled warrior, in order.
Tprogram ProgramOf(const redcode::AssembledWarrior& warrior);

}  // namespace tw
