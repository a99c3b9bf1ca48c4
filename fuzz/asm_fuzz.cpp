// Fuzz target: any bytes as a Redcode source. A source that does not
// assemble must fail with ERedcodeSourceError; one that assembles must keep
// the warrior's promises (1..MAXLENGTH instructions, fields in range, start
// inside) and its load form must read back, through the load-form reader,
// as the same cells and start. Anything else (a crash, a sanitizer report,
// another exception, a timeout from runaway FOR or EQU expansion) is a
// finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "asm/Assembler.h"
#include "asm/LoadFormWriter.h"
#include "asm/SourceError.h"
#include "core/unit_core_program_utils.h"
#include "driver/WarriorReader.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool ContainsStart(const std::string& text) {
  for (std::size_t p = 0; p + 5 <= text.size(); ++p) {
    bool same = true;
    for (std::size_t i = 0; i < 5 && same; ++i) same = (text[p + i] | 0x20) == "start"[i];
    if (same) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  tw::redcode::AssembledWarrior warrior;
  try {
    warrior = tw::redcode::AssembleSource(bytes, "fuzz.red");
  } catch (const tw::redcode::ERedcodeSourceError& e) {
    Check(e.Message()[0] != '\0' && !e.What().empty());
    e.CaretLines();
    return 0;
  }
  Check(!warrior.instructions.empty() && warrior.instructions.size() <= 100);
  Check(warrior.start >= 0 && warrior.start < static_cast<int>(warrior.instructions.size()));
  for (const auto& in : warrior.instructions) {
    Check(in.opcode < 19 && in.modifier < 7 && in.a_mode < 8 && in.b_mode < 8);
    Check(in.a_value >= 0 && in.a_value < 8000 && in.b_value >= 0 && in.b_value < 8000);
  }
  // The header lines are free text; lines in them that the load-form reader
  // would take for instructions or for the start are the text's business.
  const bool plain_header = warrior.name.find_first_of("\r\n") == std::string::npos &&
                            warrior.author.find_first_of("\r\n") == std::string::npos;
  if (!plain_header) return 0;
  const std::vector<std::string> lines = tw::SplitWarriorLines(tw::redcode::WriteLoadForm(warrior));
  tw::Tprogram program;
  tw::ParseProgramLines(lines, program);
  Check(program == tw::ProgramOf(warrior));
  if (!ContainsStart(warrior.name) && !ContainsStart(warrior.author)) {
    Check(tw::FindStartOffset(lines) == warrior.start);
  }
  return 0;
}
