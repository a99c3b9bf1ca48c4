#include "asm/LoadFormWriter.h"

namespace tw::redcode {

namespace {

int Printed(int value) { return value > kCoreSize / 2 ? value - kCoreSize : value; }

}  // namespace

std::string FormatInstruction(const AssembledInstruction& in) {
  std::string op(kOpcodeNames[in.opcode]);
  op += '.';
  op += kModifierNames[in.modifier];
  op.resize(7, ' ');
  return op + kModeSymbols[in.a_mode] + std::to_string(Printed(in.a_value)) + ", " +
         kModeSymbols[in.b_mode] + std::to_string(Printed(in.b_value));
}

std::string WriteLoadForm(const AssembledWarrior& warrior) {
  std::string text = ";redcode-94\n;name " + warrior.name + "\n;author " + warrior.author + "\n";
  for (std::size_t i = 0; i < warrior.instructions.size(); ++i) {
    text += static_cast<int>(i) == warrior.start ? "start  " : "       ";
    text += FormatInstruction(warrior.instructions[i]);
    text += '\n';
  }
  return text;
}

}  // namespace tw::redcode
