#pragma once
// The body of the execution step, kept in a header so that the battle loop
// inlines it with the queues' counters in registers. A step jumps once for
// MOV.I, SPL, JMP and DAT (the operations battles spend most steps in) and
// twice for the others: first to the evaluation of both operands, specialised
// for their modes and for what the operation reads of them, then to the
// operation. Include core/unit_core_execute_quillmar.h rather than this file.

#include <array>

#include "core/unit_core_execute_quillmar.h"
#include "runtime/Exceptions.h"

// Forced inlining keeps the step one flat function in optimised builds. Under
// the sanitizers it multiplies the instrumented code of each battle loop until
// the compiler runs for many minutes per file, so those builds (the sanitizer
// macros, or TONEWELL_PLAIN_INLINE from the build) leave inlining to the
// compiler: the same code, only slower to run.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TW_SANITIZED_BUILD 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(TONEWELL_PLAIN_INLINE)
#define TW_SANITIZED_BUILD 1
#endif
#if defined(__GNUC__) && !defined(TW_SANITIZED_BUILD)
#define TW_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define TW_ALWAYS_INLINE inline
#endif

// The dispatches below are tables of one-line cases: TW_CASES8(M, x) is
// M(x) ... M(x + 7), TW_CASES64(M, x) is M(x) ... M(x + 63).
// clang-format off
#define TW_CASES8(M, x) M(x) M(x + 1) M(x + 2) M(x + 3) M(x + 4) M(x + 5) M(x + 6) M(x + 7)
#define TW_CASES64(M, x) TW_CASES8(M, x) TW_CASES8(M, x + 8) TW_CASES8(M, x + 16) \
  TW_CASES8(M, x + 24) TW_CASES8(M, x + 32) TW_CASES8(M, x + 40) TW_CASES8(M, x + 48) \
  TW_CASES8(M, x + 56)
// clang-format on

namespace tw {
namespace step_detail {

// Arguments are at most 2 * (CoreSize - 1), so one correction suffices.
// Core addresses are unsigned: indexing with them needs no sign extension.
TW_ALWAYS_INLINE int WrapUp(int x) { return x >= CoreSize ? x - CoreSize : x; }
TW_ALWAYS_INLINE unsigned WrapUp(unsigned x) { return x >= CoreSize ? x - CoreSize : x; }
TW_ALWAYS_INLINE int WrapDown(int x) { return x < 0 ? x + CoreSize : x; }
TW_ALWAYS_INLINE std::int16_t Num(int x) { return static_cast<std::int16_t>(x); }
// The ring position or address after `i` (0..CoreSize-1). (Forcing the
// rare wrap into a branch instead of the compiler's conditional move made the
// papers battles slower.)
TW_ALWAYS_INLINE unsigned Following(unsigned i) {
  const unsigned next = i + 1;
  if (next == CoreSize) [[unlikely]]
    return 0;
  return next;
}
// A number of the core (0..CoreSize-1) as an address.
TW_ALWAYS_INLINE unsigned Address(std::int16_t x) { return static_cast<std::uint16_t>(x); }

// What an operation reads of its two operands beyond their pointers: the
// cell copy of the A-operand, of the B-operand, both or neither. Operand
// evaluation skips the copies nobody reads, so a SPL or a MOV does not load
// a cell that only its pointer is needed of (often the one far load of the
// step).
enum Reads : unsigned { kReadsNone = 0, kReadsA = 1, kReadsB = 2, kReadsBoth = 3 };

constexpr unsigned ReadsOf(unsigned op_mod) {
  const unsigned op = op_mod >> 3;
  if ((op_mod & 7u) == 7u || op >= OpcodeCount) return kReadsNone;  // runs as NOP
  switch (op) {
    case DAT:
    case JMP:
    case SPL:
    case NOP:
      return kReadsNone;
    case MOV:
    case LDP:
      return kReadsA;
    case JMZ:
    case JMN:
    case DJN:
      return kReadsB;
    default:
      return kReadsBoth;
  }
}

// The first dispatch of a step goes by the modes (the low six bits of the
// word) and by the operation's class (bits 6-8 of the case):
// - kReadsNone .. kReadsBoth: the operand copies the operation reads; a
//   second dispatch by the (opcode, modifier) byte performs it;
// - the operations most warriors spend their time in (the copies of MOV.I,
//   the SPL of papers, JMP, and DAT) are performed in the same case, so
//   their steps make one jump instead of two.
enum Dispatch : unsigned { kMoveI = 4, kSplit = 5, kJump = 6, kData = 7 };

constexpr unsigned DispatchOf(unsigned op_mod) {
  const unsigned op = op_mod >> 3;
  const unsigned mod = op_mod & 7u;
  if (mod == 7u || op >= OpcodeCount) return kReadsNone;  // runs as NOP
  if (op == MOV && mod == mI) return kMoveI;
  if (op == SPL) return kSplit;
  if (op == JMP) return kJump;
  if (op == DAT) return kData;
  return ReadsOf(op_mod);
}

// The class of every (opcode, modifier) byte of the word, shifted above the
// six bits of the two modes.
inline constexpr auto kDispatchShifted = [] {
  std::array<std::uint16_t, 256> dispatch{};
  for (unsigned op_mod = 0; op_mod < 256; ++op_mod) dispatch[op_mod] = DispatchOf(op_mod) << 6;
  return dispatch;
}();

// The (opcode, modifier) byte a class that is performed at once stands for.
constexpr unsigned PerformedOpMod(unsigned dispatch) {
  switch (dispatch) {
    case kMoveI:
      return MOV * 8 + mI;
    case kSplit:
      return SPL * 8 + mB;
    case kJump:
      return JMP * 8 + mB;
    default:
      return DAT * 8 + mF;
  }
}

// Evaluates one operand: its pointer, a copy of the cell it designates (when
// Copy), and the pre-decrement or post-increment write of its mode.
template <unsigned Mode, bool Copy>
TW_ALWAYS_INLINE void EvaluateOperand(CoreCell* core, unsigned pc, const CoreCell& ir, unsigned n,
                                      unsigned& pointer, CoreCell& cell) {
  if constexpr (Mode == Number) {
    pointer = pc;
    if constexpr (Copy) cell = ir;
  } else if constexpr (Mode == Dollar) {
    pointer = WrapUp(pc + n);
    if constexpr (Copy) cell = core[pointer];
  } else {
    const unsigned t = WrapUp(pc + n);
    constexpr bool on_a = Mode == Asterix || Mode == Open || Mode == Close;
    std::int16_t& field = on_a ? core[t].ANumber : core[t].BNumber;
    if constexpr (Mode == At || Mode == Asterix) {
      pointer = WrapUp(t + field);
      if constexpr (Copy) cell = core[pointer];
    } else if constexpr (Mode == Smaller || Mode == Open) {
      const int v = WrapDown(field - 1);
      field = Num(v);
      pointer = WrapUp(t + v);
      if constexpr (Copy) cell = core[pointer];
    } else {  // Greater, Close: the copy is taken before the increment
      const int v = field;
      pointer = WrapUp(t + v);
      if constexpr (Copy) cell = core[pointer];
      field = Num(WrapUp(v + 1));
    }
  }
}

// Appends to a queue that has room: the step took its process before, so the
// first push of any outcome always finds a free entry.
TW_ALWAYS_INLINE void Append(QueueCursor& queue, unsigned address) {
  const std::uint32_t tail = queue.Tail;
  queue.Entries[tail] = static_cast<std::uint16_t>(address);
  queue.Tail = Following(tail);
}

// Everything one operation needs: the step values and the two operands.
// While the operation runs, queue.Count still counts the executing process
// (the step takes it without counting it off), so an outcome that queues one
// successor leaves Count as it is, end counts one off and split counts one on
// when the second push finds room.
struct StepState {
  CoreCell* core;
  QueueCursor& queue;
  PSpace& pspace;
  unsigned pc;
  unsigned a_pointer;
  CoreCell a;
  unsigned b_pointer;
  CoreCell b;

  TW_ALWAYS_INLINE unsigned NextAddress() const { return Following(pc); }
  TW_ALWAYS_INLINE unsigned SkipAddress() const { return WrapUp(pc + 2); }
  TW_ALWAYS_INLINE void End() { --queue.Count; }
  TW_ALWAYS_INLINE void Next() { Append(queue, NextAddress()); }
  TW_ALWAYS_INLINE void Skip() { Append(queue, SkipAddress()); }
  TW_ALWAYS_INLINE void Jump() { Append(queue, a_pointer); }
  TW_ALWAYS_INLINE void Split() {
    Append(queue, NextAddress());
    if (queue.Count < CoreSize) {  // else the new process is dropped
      Append(queue, a_pointer);
      ++queue.Count;
    }
  }
  TW_ALWAYS_INLINE CoreCell& Target() { return core[b_pointer]; }
};

[[noreturn]] void ThrowInvalidAddressing();

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
  if (alive) {
    s.Next();
  } else {
    s.End();
  }
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
    s.End();
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

// Both operands, A first, for case Cases of the first dispatch (see
// Dispatch); true when the operation has been performed too.
template <unsigned Cases>
TW_ALWAYS_INLINE bool EvaluateOperands(StepState& s, const CoreCell& ir) {
  constexpr unsigned dispatch = Cases >> 6;
  constexpr unsigned reads = dispatch == kMoveI ? kReadsA : dispatch < 4 ? dispatch : kReadsNone;
  EvaluateOperand<Cases & 7u, (reads & kReadsA) != 0>(s.core, s.pc, ir, Address(ir.ANumber),
                                                      s.a_pointer, s.a);
  EvaluateOperand<(Cases >> 3) & 7u, (reads & kReadsB) != 0>(s.core, s.pc, ir, Address(ir.BNumber),
                                                             s.b_pointer, s.b);
  if constexpr (dispatch < 4) {
    return false;
  } else {
    Perform<PerformedOpMod(dispatch)>(s);
    return true;
  }
}

// Evaluates both operands of an operation of class Dispatch (one that is
// performed at once) by a dispatch on the modes alone, and performs it.
template <unsigned Dispatch>
TW_ALWAYS_INLINE void PerformAtOnce(StepState& s, const CoreCell& ir, unsigned word) {
  switch (word & 0x3Fu) {
    // clang-format off
#define TW_AT_ONCE(x) case x: EvaluateOperands<(Dispatch << 6) + x>(s, ir); return;
    TW_CASES64(TW_AT_ONCE, 0)
    default: __builtin_unreachable();
#undef TW_AT_ONCE
      // clang-format on
  }
}

// A word whose B-mode field is above 7: the A-operand is evaluated with its
// write, then the step fails and the process is lost.
[[gnu::cold, noreturn]] inline void EvaluateInvalid(CoreCell* core, QueueCursor& queue, unsigned pc,
                                                    const CoreCell ir) {
  unsigned pointer;
  CoreCell unused;
  switch (ir.InstructionWord & 7u) {
    // clang-format off
#define TW_AMODE(x) case x: EvaluateOperand<x, false>(core, pc, ir, Address(ir.ANumber), pointer, unused); break;
    TW_CASES8(TW_AMODE, 0)
#undef TW_AMODE
    // clang-format on
  }
  --queue.Count;
  ThrowInvalidAddressing();
}

// Plays the tone of the taken process's instruction. A tone that may fail
// leaves the process taken: Count counts it off while the tone plays.
template <class TonePolicy>
TW_ALWAYS_INLINE void PlayTaken(QueueCursor& queue, const CoreCell& ir) {
  if constexpr (noexcept(TonePolicy::Play(ir))) {
    TonePolicy::Play(ir);
  } else {
    --queue.Count;
    TonePolicy::Play(ir);
    ++queue.Count;
  }
}

}  // namespace step_detail

template <class TonePolicy>
TW_ALWAYS_INLINE void ExecuteLiveStepWith(CoreMemory& core_memory, QueueCursor& queue,
                                          PSpace& pspace) {
  using namespace step_detail;
  const std::uint32_t head = queue.Head;
  const unsigned pc = queue.Entries[head];
  queue.Head = Following(head);
  CoreCell* core = core_memory.data();
  const CoreCell ir = core[pc];
  PlayTaken<TonePolicy>(queue, ir);

  StepState s{core, queue, pspace, pc, 0, {}, 0, {}};
  const unsigned word = ir.InstructionWord;
  // MOV.I, the copy most battles spend their time in, SPL and DAT are told
  // from the word alone: a step that goes this way waits for no table before
  // its jump. (DAT with modifier field 7 runs as NOP.) The test for MOV.I
  // also takes in the B-mode field's high bits, so the commonest step tests
  // the word once.
  if ((word & 0xFFC0u) == (MOV * 8 + mI) << 8) {
    PerformAtOnce<kMoveI>(s, ir, word);
    return;
  }
  if (word & 0xC0u) [[unlikely]]  // a B-mode field above 7
    EvaluateInvalid(core, queue, pc, ir);
  if ((word >> 11) == SPL) {
    PerformAtOnce<kSplit>(s, ir, word);
    return;
  }
  if ((word >> 11) == DAT && (word & 0x700u) != 0x700u) {
    PerformAtOnce<kData>(s, ir, word);
    return;
  }
  // One dispatch evaluates both operands with the modes and what the
  // operation reads known at compile time, and performs the commonest
  // operations; a second one performs the others.
  switch (kDispatchShifted[word >> 8] | (word & 0x3Fu)) {
    // clang-format off
#define TW_MODES(x) case x: if (EvaluateOperands<x>(s, ir)) return; break;
    TW_CASES64(TW_MODES, 0) TW_CASES64(TW_MODES, 64) TW_CASES64(TW_MODES, 128)
    TW_CASES64(TW_MODES, 192) TW_CASES64(TW_MODES, 256) TW_CASES64(TW_MODES, 320)
    TW_CASES64(TW_MODES, 384) TW_CASES64(TW_MODES, 448)
    default: __builtin_unreachable();
#undef TW_MODES
    // clang-format on
  }

  switch (word >> 8) {
    // clang-format off
#define TW_OPMOD(x) case x: Perform<x>(s); break;
    TW_CASES64(TW_OPMOD, 0) TW_CASES64(TW_OPMOD, 64) TW_CASES64(TW_OPMOD, 128)
    TW_CASES64(TW_OPMOD, 192)
    default: __builtin_unreachable();
#undef TW_OPMOD
    // clang-format on
  }
}

template <class TonePolicy>
TW_ALWAYS_INLINE void ExecuteLiveStepWith(CoreMemory& core, ProcessQueue& queue, PSpace& pspace) {
  QueueCursor cursor(queue);
  const QueueCursor::Keep keep{cursor, queue};
  ExecuteLiveStepWith<TonePolicy>(core, cursor, pspace);
}

template <class TonePolicy>
TW_ALWAYS_INLINE void ExecuteStepWith(CoreMemory& core, ProcessQueue& queue, PSpace& pspace) {
  if (queue.Count > 0) ExecuteLiveStepWith<TonePolicy>(core, queue, pspace);
}

}  // namespace tw
