#pragma once
// What the assembler produces: a warrior's instructions with every field
// resolved, its start and its header texts.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw::redcode {

// The operations in the order of the load form's table; the index is the
// opcode number.
inline constexpr std::array<std::string_view, 19> kOpcodeNames = {
    "DAT", "MOV", "ADD", "SUB", "MUL", "DIV", "MOD", "JMP", "JMZ", "JMN",
    "DJN", "SPL", "SLT", "CMP", "SEQ", "SNE", "NOP", "LDP", "STP"};
enum OpcodeIndex : std::uint8_t {
  kDat,
  kMov,
  kAdd,
  kSub,
  kMul,
  kDiv,
  kMod,
  kJmp,
  kJmz,
  kJmn,
  kDjn,
  kSpl,
  kSlt,
  kCmp,
  kSeq,
  kSne,
  kNop,
  kLdp,
  kStp
};
inline constexpr std::array<std::string_view, 7> kModifierNames = {"A", "B", "AB", "BA",
                                                                   "F", "X", "I"};
enum ModifierIndex : std::uint8_t { kModA, kModB, kModAB, kModBA, kModF, kModX, kModI };
// Mode symbols; the index is the mode number.
inline constexpr std::string_view kModeSymbols = "#$@<>*{}";
inline constexpr std::uint8_t kImmediate = 0;
inline constexpr std::uint8_t kDirect = 1;

inline constexpr int kCoreSize = 8000;

struct AssembledInstruction {
  std::uint8_t opcode = kDat;
  std::uint8_t modifier = kModF;
  std::uint8_t a_mode = kDirect;
  std::uint8_t b_mode = kDirect;
  int a_value = 0;  // 0..kCoreSize-1
  int b_value = 0;

  friend bool operator==(const AssembledInstruction&, const AssembledInstruction&) = default;
};

struct AssembledWarrior {
  std::string name = "Unknown";  // as written after ";name", blanks at both ends removed
  std::string author = "Anonymous";
  std::vector<AssembledInstruction> instructions;  // never empty
  int start = 0;                                   // index into instructions
  std::optional<std::int64_t> pin;                 // the PIN value, when one was given
};

// The floored remainder by kCoreSize: 0..kCoreSize-1 for every value.
constexpr int FoldToCore(std::int64_t value) {
  const std::int64_t r = value % kCoreSize;
  return static_cast<int>(r < 0 ? r + kCoreSize : r);
}

}  // namespace tw::redcode
