#pragma once
// The one unit of storage of the battle: the core cell with its packed
// instruction word, the three enumerations the word carries and their source
// texts, the cell that fills an empty core and a loaded warrior program.

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tw {

inline constexpr int CoreSize = 8000;

// Operations in table order; the value is the 5-bit opcode field.
enum Opcode : std::uint8_t {
  DAT,
  MOV,
  ADD,
  SUB,
  MUL,
  DIV,
  MOD,
  JMP,
  JMZ,
  JMN,
  DJN,
  SPL,
  SLT,
  CMP,
  SEQ,
  SNE,
  NOP,
  LDP,
  STP
};
inline constexpr int OpcodeCount = 19;

// Modifiers in table order; the value is the 3-bit modifier field.
enum Modifier : std::uint8_t { mA, mB, mAB, mBA, mF, mX, mI };
inline constexpr int ModifierCount = 7;

// Addressing modes in table order; the value is the A-mode / B-mode field.
enum AddressingMode : std::uint8_t { Number, Dollar, At, Smaller, Greater, Asterix, Open, Close };
inline constexpr int AddressingModeCount = 8;

// The parser tries these entries from index 0 upwards and takes the first
// that occurs in the line, so their order is part of the language.
inline constexpr std::array<std::string_view, OpcodeCount> OpcodeNames = {
    "DAT", "MOV", "ADD", "SUB", "MUL", "DIV", "MOD", "JMP", "JMZ", "JMN",
    "DJN", "SPL", "SLT", "CMP", "SEQ", "SNE", "NOP", "LDP", "STP"};
// Three characters each: a one-letter modifier is followed by one blank.
inline constexpr std::array<std::string_view, ModifierCount> ModifierNames = {
    ".A ", ".B ", ".AB", ".BA", ".F ", ".X ", ".I "};
inline constexpr std::array<char, AddressingModeCount> ModeSymbols = {'#', '$', '@', '<',
                                                                      '>', '*', '{', '}'};

// One core location. Field order and widths are fixed: the executor and the
// tone read the numbers and the word's bytes directly.
//
// InstructionWord layout (bit 0 least significant):
//   bits 0-2  A-mode    bits 3-7  B-mode (5 bits, 8..31 never parsed)
//   bits 8-10 modifier  bits 11-15 opcode (5 bits, 19..31 never parsed)
// So the low byte is B-mode * 8 + A-mode and the high byte is
// opcode * 8 + modifier.
struct CoreCell {
  std::int16_t ANumber = 0;
  std::int16_t BNumber = 0;
  std::uint16_t InstructionWord = 0;

  friend bool operator==(const CoreCell&, const CoreCell&) = default;
};
static_assert(sizeof(CoreCell) == 6);

// Field access on an InstructionWord: plain bit operations without checks.
// A write clears the whole field, then adds the value shifted into place.
constexpr unsigned GetAMode(std::uint16_t w) { return w & 0x7u; }
constexpr unsigned GetBMode(std::uint16_t w) { return (w & 0xFFu) >> 3; }
constexpr unsigned GetModifier(std::uint16_t w) { return (w >> 8) & 0x7u; }
constexpr unsigned GetOpcode(std::uint16_t w) { return w >> 11; }

constexpr void SetAMode(std::uint16_t& w, unsigned v) {
  w = static_cast<std::uint16_t>((w & ~0x0007u) + (v << 0));
}
constexpr void SetBMode(std::uint16_t& w, unsigned v) {
  w = static_cast<std::uint16_t>((w & ~0x00F8u) + (v << 3));
}
constexpr void SetModifier(std::uint16_t& w, unsigned v) {
  w = static_cast<std::uint16_t>((w & ~0x0700u) + (v << 8));
}
constexpr void SetOpcode(std::uint16_t& w, unsigned v) {
  w = static_cast<std::uint16_t>((w & ~0xF800u) + (v << 11));
}

// The word of (opcode, modifier, A-mode, B-mode).
constexpr std::uint16_t EncodeInstruction(unsigned opcode, unsigned modifier, unsigned a_mode,
                                          unsigned b_mode) {
  std::uint16_t w = 0;
  SetOpcode(w, opcode);
  SetModifier(w, modifier);
  SetAMode(w, a_mode);
  SetBMode(w, b_mode);
  return w;
}

// DAT.F $0, $0: every cell of the core at the start of each round.
inline constexpr CoreCell DefaultCell = {0, 0, 1033};
static_assert(EncodeInstruction(DAT, mF, Dollar, Dollar) == 1033);

// The circular core, indexed by address 0..CoreSize-1.
using CoreMemory = std::array<CoreCell, CoreSize>;

// One loaded warrior: its instructions in source order.
using Tprogram = std::vector<CoreCell>;

}  // namespace tw
