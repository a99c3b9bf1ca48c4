#pragma once
// The body of the execution step, kept in a header so that the battle loop
// inlines it and the dispatch compiles to one jump table over the
// (opcode, modifier) byte of the instruction word. Include
// core/unit_core_execute_quillmar.h rather than this file.

#include "core/unit_core_execute_quillmar.h"
#include "runtime/Exceptions.h"

#if defined(__GNUC__)
#define TW_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define TW_ALWAYS_INLINE inline
#endif

namespace tw {
namespace step_detail {

// Arguments are at most 2 * (CoreSize - 1), so one correction suffices.
TW_ALWAYS_INLINE int WrapUp(int x) { return x >= CoreSize ? x - CoreSize : x; }
TW_ALWAYS_INLINE int WrapDown(int x) { return x < 0 ? x + CoreSize : x; }
TW_ALWAYS_INLINE std::int16_t Num(int x) { return static_cast<std::int16_t>(x); }

// Evaluates one operand: its pointer, a copy of the cell it designates, and
// the pre-decrement or post-increment write of its mode.
TW_ALWAYS_INLINE void EvaluateOperand(CoreCell* core, int pc, const CoreCell& ir, unsigned mode,
                                      int n, int& pointer, CoreCell& cell) {
  switch (mode) {
    case Number:
      pointer = pc;
      cell = ir;
      return;
    case Dollar:
      pointer = WrapUp(pc + n);
      cell = core[pointer];
      return;
    case At: {
      const int t = WrapUp(pc + n);
      pointer = WrapUp(t + core[t].BNumber);
      cell = core[pointer];
      return;
    }
    case Smaller: {
      const int t = WrapUp(pc + n);
      const int v = WrapDown(core[t].BNumber - 1);
      core[t].BNumber = Num(v);
      pointer = WrapUp(t + v);
      cell = core[pointer];
      return;
    }
    case Greater: {
      const int t = WrapUp(pc + n);
      const int v = core[t].BNumber;
      pointer = WrapUp(t + v);
      cell = core[pointer];
      core[t].BNumber = Num(WrapUp(v + 1));
      return;
    }
    case Asterix: {
      const int t = WrapUp(pc + n);
      pointer = WrapUp(t + core[t].ANumber);
      cell = core[pointer];
      return;
    }
    case Open: {
      const int t = WrapUp(pc + n);
      const int v = WrapDown(core[t].ANumber - 1);
      core[t].ANumber = Num(v);
      pointer = WrapUp(t + v);
      cell = core[pointer];
      return;
    }
    default: {  // Close
      const int t = WrapUp(pc + n);
      const int v = core[t].ANumber;
      pointer = WrapUp(t + v);
      cell = core[pointer];
      core[t].ANumber = Num(WrapUp(v + 1));
      return;
    }
  }
}

// Everything one operation needs: the step values and the two operands.
struct StepState {
  CoreCell* core;
  ProcessQueue& queue;
  PSpace& pspace;
  int pc;
  int a_pointer;
  CoreCell a;
  int b_pointer;
  CoreCell b;

  TW_ALWAYS_INLINE int NextAddress() const { return pc + 1 == CoreSize ? 0 : pc + 1; }
  TW_ALWAYS_INLINE int SkipAddress() const { return WrapUp(pc + 2); }
  TW_ALWAYS_INLINE void Next() { PushProcess(queue, NextAddress()); }
  TW_ALWAYS_INLINE void Skip() { PushProcess(queue, SkipAddress()); }
  TW_ALWAYS_INLINE void Jump() { PushProcess(queue, a_pointer); }
  TW_ALWAYS_INLINE void Split() {
    PushProcess(queue, NextAddress());
    PushProcess(queue, a_pointer);
  }
  TW_ALWAYS_INLINE CoreCell& Target() { return core[b_pointer]; }
};

enum class Arith { kAdd, kSub, kMul };

template <Arith K>
TW_ALWAYS_INLINE int Apply(int x, int y) {
  if constexpr (K == Arith::kAdd) return WrapUp(x + y);
  if constexpr (K == Arith::kSub) return WrapDown(x - y);
  return (x * y) % CoreSize;
}

template <Arith K, unsigned Mod>
TW_ALWAYS_INLINE void Arithmetic(StepState& s) {
  CoreCell& t = s.Target();
  const CoreCell& a = s.a;
  const CoreCell& b = s.b;
  if constexpr (Mod == mA) {
    t.ANumber = Num(Apply<K>(b.ANumber, a.ANumber));
  } else if constexpr (Mod == mB) {
    t.BNumber = Num(Apply<K>(b.BNumber, a.BNumber));
  } else if constexpr (Mod == mAB) {
    t.BNumber = Num(Apply<K>(b.BNumber, a.ANumber));
  } else if constexpr (Mod == mBA) {
    t.ANumber = Num(Apply<K>(b.ANumber, a.BNumber));
  } else if constexpr (Mod == mF || Mod == mI) {
    const int new_a = Apply<K>(b.ANumber, a.ANumber);
    const int new_b = Apply<K>(b.BNumber, a.BNumber);
    t.ANumber = Num(new_a);
    t.BNumber = Num(new_b);
  } else {  // mX
    const int new_a = Apply<K>(b.ANumber, a.BNumber);
    const int new_b = Apply<K>(b.BNumber, a.ANumber);
    t.ANumber = Num(new_a);
    t.BNumber = Num(new_b);
  }
  s.Next();
}

template <bool IsMod>
TW_ALWAYS_INLINE int Divide(int x, int y) {
  return IsMod ? x % y : x / y;
}

// DIV and MOD: a zero divisor skips its write and ends the process.
template <bool IsMod, unsigned Mod>
TW_ALWAYS_INLINE void Division(StepState& s) {
  CoreCell& t = s.Target();
  const CoreCell& a = s.a;
  const CoreCell& b = s.b;
  bool alive = true;
  if constexpr (Mod == mA || Mod == mAB) {
    if (a.ANumber != 0) {
      (Mod == mA ? t.ANumber : t.BNumber) =
          Num(Divide<IsMod>(Mod == mA ? b.ANumber : b.BNumber, a.ANumber));
    } else {
      alive = false;
    }
  } else if constexpr (Mod == mB || Mod == mBA) {
    if (a.BNumber != 0) {
      (Mod == mB ? t.BNumber : t.ANumber) =
          Num(Divide<IsMod>(Mod == mB ? b.BNumber : b.ANumber, a.BNumber));
    } else {
      alive = false;
    }
  } else if constexpr (Mod == mF || Mod == mI) {
    if (a.ANumber != 0) t.ANumber = Num(Divide<IsMod>(b.ANumber, a.ANumber));
    if (a.BNumber != 0) t.BNumber = Num(Divide<IsMod>(b.BNumber, a.BNumber));
    alive = a.ANumber != 0 && a.BNumber != 0;
  } else {  // mX
    if (a.ANumber != 0) t.BNumber = Num(Divide<IsMod>(b.BNumber, a.ANumber));
    if (a.BNumber != 0) t.ANumber = Num(Divide<IsMod>(b.ANumber, a.BNumber));
    alive = a.ANumber != 0 && a.BNumber != 0;
  }
  if (alive) s.Next();
}

// The test of JMZ (Zero = true) and JMN (Zero = false) on the B-operand cell.
template <bool Zero, unsigned Mod>
TW_ALWAYS_INLINE void JumpIf(StepState& s) {
  const CoreCell& b = s.b;
  bool jump;
  if constexpr (Mod == mA || Mod == mBA) {
    jump = Zero ? b.ANumber == 0 : b.ANumber != 0;
  } else if constexpr (Mod == mB || Mod == mAB) {
    jump = Zero ? b.BNumber == 0 : b.BNumber != 0;
  } else {
    jump = Zero ? (b.ANumber == 0 && b.BNumber == 0) : (b.ANumber != 0 || b.BNumber != 0);
  }
  if (jump) {
    s.Jump();
  } else {
    s.Next();
  }
}

template <unsigned Mod>
TW_ALWAYS_INLINE void DecrementJump(StepState& s) {
  CoreCell& t = s.Target();
  CoreCell& b = s.b;
  bool jump;
  if constexpr (Mod == mA || Mod == mBA) {
    t.ANumber = Num(WrapDown(t.ANumber - 1));
    b.ANumber = Num(WrapDown(b.ANumber - 1));
    jump = b.ANumber != 0;
  } else if constexpr (Mod == mB || Mod == mAB) {
    t.BNumber = Num(WrapDown(t.BNumber - 1));
    b.BNumber = Num(WrapDown(b.BNumber - 1));
    jump = b.BNumber != 0;
  } else {
    t.ANumber = Num(WrapDown(t.ANumber - 1));
    t.BNumber = Num(WrapDown(t.BNumber - 1));
    b.ANumber = Num(WrapDown(b.ANumber - 1));
    b.BNumber = Num(WrapDown(b.BNumber - 1));
    jump = b.ANumber != 0 || b.BNumber != 0;
  }
  if (jump) {
    s.Jump();
  } else {
    s.Next();
  }
}

enum class Compare { kLess, kEqual, kNotEqual };

template <Compare K>
TW_ALWAYS_INLINE bool Holds(int x, int y) {
  if constexpr (K == Compare::kLess) return x < y;
  if constexpr (K == Compare::kEqual) return x == y;
  return x != y;
}

template <Compare K, unsigned Mod>
TW_ALWAYS_INLINE void SkipIf(StepState& s) {
  const CoreCell& a = s.a;
  const CoreCell& b = s.b;
  bool skip;
  if constexpr (Mod == mA) {
    skip = Holds<K>(a.ANumber, b.ANumber);
  } else if constexpr (Mod == mB) {
    skip = Holds<K>(a.BNumber, b.BNumber);
  } else if constexpr (Mod == mAB) {
    skip = Holds<K>(a.ANumber, b.BNumber);
  } else if constexpr (Mod == mBA) {
    skip = Holds<K>(a.BNumber, b.ANumber);
  } else if constexpr (Mod == mX) {
    skip = K == Compare::kNotEqual
               ? (a.ANumber != b.BNumber || a.BNumber != b.ANumber)
               : (Holds<K>(a.ANumber, b.BNumber) && Holds<K>(a.BNumber, b.ANumber));
  } else if constexpr (Mod == mI && K != Compare::kLess) {
    // The word holds exactly opcode, modifier and both modes, so the whole
    // cells are equal when the words and both numbers are.
    const bool same = a == b;
    skip = K == Compare::kEqual ? same : !same;
  } else {  // mF, and SLT.I which compares as .F
    skip = K == Compare::kNotEqual
               ? (a.ANumber != b.ANumber || a.BNumber != b.BNumber)
               : (Holds<K>(a.ANumber, b.ANumber) && Holds<K>(a.BNumber, b.BNumber));
  }
  if (skip) {
    s.Skip();
  } else {
    s.Next();
  }
}

template <unsigned Mod>
TW_ALWAYS_INLINE void LoadPSpace(StepState& s) {
  CoreCell& t = s.Target();
  const CoreCell& a = s.a;
  if constexpr (Mod == mA) {
    t.ANumber = s.pspace[a.ANumber % PSpaceSize];
  } else if constexpr (Mod == mAB) {
    t.BNumber = s.pspace[a.ANumber % PSpaceSize];
  } else if constexpr (Mod == mBA) {
    t.ANumber = s.pspace[a.BNumber % PSpaceSize];
  } else {  // mB, mF, mX, mI
    t.BNumber = s.pspace[a.BNumber % PSpaceSize];
  }
  s.Next();
}

template <unsigned Mod>
TW_ALWAYS_INLINE void StorePSpace(StepState& s) {
  const CoreCell& a = s.a;
  const CoreCell& b = s.b;
  if constexpr (Mod == mA) {
    s.pspace[b.ANumber % PSpaceSize] = a.ANumber;
  } else if constexpr (Mod == mAB) {
    s.pspace[b.BNumber % PSpaceSize] = a.ANumber;
  } else if constexpr (Mod == mBA) {
    s.pspace[b.ANumber % PSpaceSize] = a.BNumber;
  } else {  // mB, mF, mX, mI
    s.pspace[b.BNumber % PSpaceSize] = a.BNumber;
  }
  s.Next();
}

template <unsigned Mod>
TW_ALWAYS_INLINE void Move(StepState& s) {
  CoreCell& t = s.Target();
  const CoreCell& a = s.a;
  if constexpr (Mod == mA) {
    t.ANumber = a.ANumber;
  } else if constexpr (Mod == mB) {
    t.BNumber = a.BNumber;
  } else if constexpr (Mod == mAB) {
    t.BNumber = a.ANumber;
  } else if constexpr (Mod == mBA) {
    t.ANumber = a.BNumber;
  } else if constexpr (Mod == mF) {
    t.ANumber = a.ANumber;
    t.BNumber = a.BNumber;
  } else if constexpr (Mod == mX) {
    t.ANumber = a.BNumber;
    t.BNumber = a.ANumber;
  } else {  // mI
    t = a;
  }
  s.Next();
}

// One (opcode, modifier) byte of the instruction word.
template <unsigned OpMod>
TW_ALWAYS_INLINE void Perform(StepState& s) {
  constexpr unsigned op = OpMod >> 3;
  constexpr unsigned mod = OpMod & 7u;
  if constexpr (mod == 7 || op >= OpcodeCount) {
    s.Next();  // words the parser never makes run as NOP
  } else if constexpr (op == DAT) {
    // the process ends
  } else if constexpr (op == MOV) {
    Move<mod>(s);
  } else if constexpr (op == ADD) {
    Arithmetic<Arith::kAdd, mod>(s);
  } else if constexpr (op == SUB) {
    Arithmetic<Arith::kSub, mod>(s);
  } else if constexpr (op == MUL) {
    Arithmetic<Arith::kMul, mod>(s);
  } else if constexpr (op == DIV) {
    Division<false, mod>(s);
  } else if constexpr (op == MOD) {
    Division<true, mod>(s);
  } else if constexpr (op == JMP) {
    s.Jump();
  } else if constexpr (op == JMZ) {
    JumpIf<true, mod>(s);
  } else if constexpr (op == JMN) {
    JumpIf<false, mod>(s);
  } else if constexpr (op == DJN) {
    DecrementJump<mod>(s);
  } else if constexpr (op == SPL) {
    s.Split();
  } else if constexpr (op == SLT) {
    SkipIf<Compare::kLess, mod>(s);
  } else if constexpr (op == CMP || op == SEQ) {
    SkipIf<Compare::kEqual, mod>(s);
  } else if constexpr (op == SNE) {
    SkipIf<Compare::kNotEqual, mod>(s);
  } else if constexpr (op == NOP) {
    s.Next();
  } else if constexpr (op == LDP) {
    LoadPSpace<mod>(s);
  } else {  // STP
    StorePSpace<mod>(s);
  }
}

[[noreturn]] void ThrowInvalidAddressing();

// Both operands, A first, for the modes of one low byte of the word.
template <unsigned Modes>
TW_ALWAYS_INLINE void EvaluateOperands(StepState& s, const CoreCell& ir) {
  EvaluateOperand(s.core, s.pc, ir, Modes & 7u, ir.ANumber, s.a_pointer, s.a);
  EvaluateOperand(s.core, s.pc, ir, Modes >> 3, ir.BNumber, s.b_pointer, s.b);
}

}  // namespace step_detail

template <class TonePolicy>
TW_ALWAYS_INLINE void ExecuteLiveStepWith(CoreMemory& core_memory, ProcessQueue& queue,
                                          PSpace& pspace) {
  using namespace step_detail;
  const int pc = queue.Entries[queue.Head];
  queue.Head = queue.Head + 1 == CoreSize ? 0 : queue.Head + 1;
  --queue.Count;
  CoreCell* core = core_memory.data();
  const CoreCell ir = core[pc];
  TonePolicy::Play(ir);

  StepState s{core, queue, pspace, pc, 0, {}, 0, {}};
  const unsigned word = ir.InstructionWord;
  // The low byte of the word names both modes: one dispatch evaluates both
  // operands with the modes known at compile time.
  switch (word & 0xFFu) {
    default:  // a B-mode field above 7
      EvaluateOperand(core, pc, ir, word & 7u, ir.ANumber, s.a_pointer, s.a);
      ThrowInvalidAddressing();
      // clang-format off
#define TW_MODES(x) case x: EvaluateOperands<x>(s, ir); break;
#define TW_MODES8(x) TW_MODES(x) TW_MODES(x + 1) TW_MODES(x + 2) TW_MODES(x + 3) \
                     TW_MODES(x + 4) TW_MODES(x + 5) TW_MODES(x + 6) TW_MODES(x + 7)
    TW_MODES8(0) TW_MODES8(8) TW_MODES8(16) TW_MODES8(24)
    TW_MODES8(32) TW_MODES8(40) TW_MODES8(48) TW_MODES8(56)
#undef TW_MODES8
#undef TW_MODES
      // clang-format on
  }

  switch (word >> 8) {
    // clang-format off
#define TW_OPMOD(x) case x: Perform<x>(s); break;
#define TW_OPMOD8(x) TW_OPMOD(x) TW_OPMOD(x + 1) TW_OPMOD(x + 2) TW_OPMOD(x + 3) \
                     TW_OPMOD(x + 4) TW_OPMOD(x + 5) TW_OPMOD(x + 6) TW_OPMOD(x + 7)
#define TW_OPMOD64(x) TW_OPMOD8(x) TW_OPMOD8(x + 8) TW_OPMOD8(x + 16) TW_OPMOD8(x + 24) \
                      TW_OPMOD8(x + 32) TW_OPMOD8(x + 40) TW_OPMOD8(x + 48) TW_OPMOD8(x + 56)
    TW_OPMOD64(0) TW_OPMOD64(64) TW_OPMOD64(128) TW_OPMOD64(192)
#undef TW_OPMOD64
#undef TW_OPMOD8
#undef TW_OPMOD
    // clang-format on
  }
}

template <class TonePolicy>
TW_ALWAYS_INLINE void ExecuteStepWith(CoreMemory& core, ProcessQueue& queue, PSpace& pspace) {
  if (queue.Count > 0) ExecuteLiveStepWith<TonePolicy>(core, queue, pspace);
}

}  // namespace tw
