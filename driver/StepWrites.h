#pragma once
// Which core cells the step of one instruction writes, worked out from the
// core before the step: the view's map colours each cell by the warrior that
// wrote it last, without the executor knowing about the view.

#include <array>

#include "core/unit_core_types.h"

namespace tw {

struct StepWrites {
  int Count = 0;
  std::array<int, 3> Addresses{};  // may repeat an address
};

// The cells the instruction at `pc` writes when it runs on `core` as it is
// now: the cell an A- or B-operand with a decrement or increment mode
// changes, and the B-operand's target of MOV, ADD, SUB, MUL, DIV, MOD, DJN
// and LDP. A DIV or MOD whose zero divisor skips the write still counts its
// target. Every other cell is left as it was by the step (what the executor
// does, see ExecuteStep.h). Needs every number in
// `core` in 0..CoreSize-1, as the executor does.
inline StepWrites PredictStepWrites(const CoreMemory& core, int pc) {
  StepWrites writes;
  const CoreCell& ir = core[pc];
  const unsigned word = ir.InstructionWord;
  const unsigned a_mode = GetAMode(ir.InstructionWord);
  const unsigned b_mode = GetBMode(ir.InstructionWord);
  const int ta = (pc + ir.ANumber) % CoreSize;
  const int tb = (pc + ir.BNumber) % CoreSize;
  // <, >, { and } write the cell they go through; * does not.
  if (a_mode >= Smaller && a_mode != Asterix) writes.Addresses[writes.Count++] = ta;
  if (b_mode >= AddressingModeCount) return writes;  // the step raises after the A-operand
  if (b_mode >= Smaller && b_mode != Asterix) writes.Addresses[writes.Count++] = tb;

  const unsigned op = word >> 11;
  const unsigned modifier = (word >> 8) & 7u;
  const bool writes_target =
      modifier < ModifierCount && (op == MOV || op == ADD || op == SUB || op == MUL || op == DIV ||
                                   op == MOD || op == DJN || op == LDP);
  if (!writes_target) return writes;

  // The B-operand reads its cell after the A-operand's write.
  int b_number = core[tb].BNumber;
  int a_number = core[tb].ANumber;
  if (ta == tb) {
    if (a_mode == Smaller) b_number = b_number == 0 ? CoreSize - 1 : b_number - 1;
    if (a_mode == Greater) b_number = b_number + 1 == CoreSize ? 0 : b_number + 1;
    if (a_mode == Open) a_number = a_number == 0 ? CoreSize - 1 : a_number - 1;
    if (a_mode == Close) a_number = a_number + 1 == CoreSize ? 0 : a_number + 1;
  }
  int target = tb;
  switch (b_mode) {
    case Number:
      target = pc;
      break;
    case Dollar:
      break;
    case At:
    case Greater:
      target = tb + b_number;
      break;
    case Smaller:
      target = tb + (b_number == 0 ? CoreSize - 1 : b_number - 1);
      break;
    case Asterix:
    case Close:
      target = tb + a_number;
      break;
    default:  // Open
      target = tb + (a_number == 0 ? CoreSize - 1 : a_number - 1);
      break;
  }
  writes.Addresses[writes.Count++] = target % CoreSize;
  return writes;
}

}  // namespace tw
