#include "core/unit_core_utils.h"

#include <string>

#include "runtime/Exceptions.h"
#include "runtime/IntText.h"

namespace tw {

namespace {

// Upper-cases ASCII letters only; other bytes pass unchanged.
std::string UpperAscii(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

// Strips blanks and control characters (every byte up to 0x20) at both ends.
std::string_view TrimBlanksAndControls(std::string_view text) {
  auto is_trimmed = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
  while (!text.empty() && is_trimmed(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_trimmed(text.back())) text.remove_suffix(1);
  return text;
}

int FindMode(std::string_view operand_text) {
  for (int mode = 0; mode < AddressingModeCount; ++mode) {
    if (operand_text.find(ModeSymbols[mode]) != std::string_view::npos) return mode;
  }
  return -1;
}

bool ReadValue(std::string_view operand_text, int mode, std::int16_t& number) {
  std::size_t symbol = operand_text.find(ModeSymbols[mode]);
  std::optional<std::int32_t> value =
      ParseInt32(TrimBlanksAndControls(operand_text.substr(symbol + 1)));
  if (!value) return false;
  number = static_cast<std::int16_t>(NormalizeAddress(*value));
  return true;
}

}  // namespace

void ParseRedcodeLine(std::string_view line, CoreCell& cell) {
  const std::string upper = UpperAscii(line);

  int opcode = -1;
  for (int i = 0; i < OpcodeCount && opcode < 0; ++i) {
    if (upper.find(OpcodeNames[i]) != std::string::npos) opcode = i;
  }
  if (opcode < 0) throw Exception("Failed to find instruction");

  int modifier = -1;
  for (int i = 0; i < ModifierCount && modifier < 0; ++i) {
    if (upper.find(ModifierNames[i]) != std::string::npos) modifier = i;
  }
  if (modifier < 0) throw Exception("Failed to find modifier");
  if (modifier == mA && upper.find(".AB") != std::string::npos) {
    modifier = mAB;
  } else if (modifier == mB && upper.find(".BA") != std::string::npos) {
    modifier = mBA;
  }
  cell.InstructionWord = 0;
  SetOpcode(cell.InstructionWord, static_cast<unsigned>(opcode));
  SetModifier(cell.InstructionWord, static_cast<unsigned>(modifier));

  std::size_t comma = line.find(',');
  if (comma == std::string_view::npos) throw Exception("Failed to find comma");
  std::string_view a_text = line.substr(0, comma);
  std::string_view b_text = line.substr(comma + 1);

  int a_mode = FindMode(a_text);
  if (a_mode < 0) throw Exception("Failed to find addressing A");
  SetAMode(cell.InstructionWord, static_cast<unsigned>(a_mode));
  int b_mode = FindMode(b_text);
  if (b_mode < 0) throw Exception("Failed to find addressing B");
  SetBMode(cell.InstructionWord, static_cast<unsigned>(b_mode));

  if (!ReadValue(a_text, a_mode, cell.ANumber)) throw Exception("Failed to read value A");
  if (!ReadValue(b_text, b_mode, cell.BNumber)) throw Exception("Failed to read value B");
}

}  // namespace tw
