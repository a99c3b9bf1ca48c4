#include "driver/WarriorReader.h"

#include <cstdlib>

#include "core/unit_core_program_utils.h"

namespace tw {

namespace {

constexpr bool SameTables() {
  for (std::size_t i = 0; i < OpcodeNames.size(); ++i) {
    if (OpcodeNames[i] != redcode::kOpcodeNames[i]) return false;
  }
  for (std::size_t i = 0; i < ModifierNames.size(); ++i) {
    // ".A " against "A": the load form's text has the dot and a padding blank.
    std::string_view name = ModifierNames[i].substr(1);
    if (name.back() == ' ') name.remove_suffix(1);
    if (name != redcode::kModifierNames[i]) return false;
  }
  for (std::size_t i = 0; i < ModeSymbols.size(); ++i) {
    if (ModeSymbols[i] != redcode::kModeSymbols[i]) return false;
  }
  return OpcodeNames.size() == redcode::kOpcodeNames.size() &&
         ModifierNames.size() == redcode::kModifierNames.size() &&
         ModeSymbols.size() == redcode::kModeSymbols.size() && CoreSize == redcode::kCoreSize;
}
// The assembler numbers operations, modifiers and modes as the cell does.
static_assert(SameTables());

}  // namespace

WarriorReader SelectWarriorReader(const std::string& setting) {
  if (setting.empty() || setting == "load") return WarriorReader::kLoadForm;
  if (setting == "source") return WarriorReader::kSource;
  throw ERedcodeSettingError("Unknown TONEWELL_REDCODE value \"" + setting +
                             "\" (accepted: unset, \"\", load, source)");
}

WarriorReader WarriorReaderFromEnvironment() {
  const char* value = std::getenv("TONEWELL_REDCODE");
  return SelectWarriorReader(value == nullptr ? std::string() : std::string(value));
}

Tprogram ProgramOf(const redcode::AssembledWarrior& warrior) {
  Tprogram program;
  program.reserve(warrior.instructions.size());
  for (const redcode::AssembledInstruction& in : warrior.instructions) {
    CoreCell cell;
    cell.ANumber = static_cast<std::int16_t>(in.a_value);
    cell.BNumber = static_cast<std::int16_t>(in.b_value);
    cell.InstructionWord = EncodeInstruction(in.opcode, in.modifier, in.a_mode, in.b_mode);
    program.push_back(cell);
  }
  return program;
}

void ReadWarrior(WarriorReader reader, const std::string& file_name, Tprogram& program,
                 std::int32_t& start_offset, const redcode::AssemblerOptions& options) {
  if (reader == WarriorReader::kLoadForm) {
    LoadWarrior(file_name, program, start_offset);
    return;
  }
  const redcode::AssembledWarrior warrior = redcode::AssembleFile(file_name, options);
  program = ProgramOf(warrior);
  start_offset = warrior.start;
}

void ReadWarriorText(WarriorReader reader, std::string_view bytes, const std::string& file_name,
                     Tprogram& program, std::int32_t& start_offset,
                     const redcode::AssemblerOptions& options) {
  if (reader == WarriorReader::kLoadForm) {
    LoadWarriorText(bytes, file_name, program, start_offset);
    return;
  }
  const redcode::AssembledWarrior warrior = redcode::AssembleSource(bytes, file_name, options);
  program = ProgramOf(warrior);
  start_offset = warrior.start;
}

}  // namespace tw
