#pragma once
// The executor: per-warrior process queues and the execution step.
//
// Every executed instruction is handed to SynthesizeTone right after it is
// fetched and before its operands are evaluated, so its tone is heard before
// it takes effect. The step itself is a template on a tone policy so that
// tests, the differential test and benchmarks run the very same executor with
// no sound and no per-step cost: ExecuteStep is the audible instance,
// ExecuteStepWith<SilentTone> the silent one.

#include <array>
#include <cstdint>

#include "core/unit_core_types.h"

namespace tw {

inline constexpr int PSpaceSize = 500;
// One warrior's private storage; cell 0 carries the previous round's result.
using PSpace = std::array<std::int16_t, PSpaceSize>;

// One warrior's processes: a ring of core addresses, oldest first.
// Invariants: Tail == (Head + Count) mod CoreSize; 0 <= Count <= CoreSize;
// every queued address is in 0..CoreSize-1. A warrior is alive while
// Count > 0. Fixed size, never allocates.
struct ProcessQueue {
  std::array<std::uint16_t, CoreSize> Entries{};
  std::int32_t Head = 0;
  std::int32_t Tail = 0;
  std::int32_t Count = 0;
};

// Every entry 0, Head = Tail = Count = 0.
void ResetQueue(ProcessQueue& queue);

// Appends `address` (0..CoreSize-1); silently drops it when the queue already
// holds CoreSize processes.
inline void PushProcess(ProcessQueue& queue, int address) {
  if (queue.Count >= CoreSize) return;
  queue.Entries[queue.Tail] = static_cast<std::uint16_t>(address);
  queue.Tail = queue.Tail + 1 == CoreSize ? 0 : queue.Tail + 1;
  ++queue.Count;
}

// A queue's ring with its counters held apart from the queue, so that a
// battle loop can keep them in registers while it runs many steps. The ring
// is the queue's own; while the cursor is in use the queue's own Head, Tail
// and Count are stale until StoreTo puts the cursor's back (a Keep does that
// when it goes out of scope, a failing step included). Head and Tail are
// unsigned so that indexing the ring with them needs no sign extension.
struct QueueCursor {
  std::uint16_t* Entries;
  std::uint32_t Head;
  std::uint32_t Tail;
  std::int32_t Count;

  explicit QueueCursor(ProcessQueue& queue)
      : Entries(queue.Entries.data()),
        Head(static_cast<std::uint32_t>(queue.Head)),
        Tail(static_cast<std::uint32_t>(queue.Tail)),
        Count(queue.Count) {}
  void StoreTo(ProcessQueue& queue) const {
    queue.Head = static_cast<std::int32_t>(Head);
    queue.Tail = static_cast<std::int32_t>(Tail);
    queue.Count = Count;
  }

  struct Keep {
    const QueueCursor& cursor;
    ProcessQueue& queue;
    ~Keep() { cursor.StoreTo(queue); }
  };
};

// Removes the oldest process into `address`; false (nothing changed) when the
// queue is empty.
inline bool TakeProcess(ProcessQueue& queue, int& address) {
  if (queue.Count <= 0) return false;
  address = queue.Entries[queue.Head];
  queue.Head = queue.Head + 1 == CoreSize ? 0 : queue.Head + 1;
  --queue.Count;
  return true;
}

// Tone policies of the executor (the audible one, AudibleTone, is in
// core/ToneAudio.h with the objects it plays through). A policy whose Play is
// noexcept spares the step keeping Count exact while the tone plays.
struct SilentTone {
  static void Play(const CoreCell&) noexcept {}
};

// Executes at most one instruction of the warrior that owns `queue` and
// `pspace`: takes its next process (an empty queue: returns, nothing
// changes, no tone), copies the cell into the instruction register, plays its
// tone, evaluates the A- then the B-operand with their pre-decrement and
// post-increment writes, performs the operation on `core` or `pspace` and
// queues the process's successors.
//
// Needs every A- and B-number in `core` to lie in 0..CoreSize-1 (the parser
// and the executor keep them there). Raises tw::Exception "Invalid
// addressing detected in core executor !" when the B-mode field is above 7,
// after the tone and the A-operand's write; the process is then lost.
void ExecuteStep(CoreMemory& core, ProcessQueue& queue, PSpace& pspace);

template <class TonePolicy>
void ExecuteStepWith(CoreMemory& core, ProcessQueue& queue, PSpace& pspace);

// ExecuteStepWith for a queue known to hold a process (Count > 0), without
// the test: a battle loop that stops as soon as a warrior dies needs none.
template <class TonePolicy>
void ExecuteLiveStepWith(CoreMemory& core, ProcessQueue& queue, PSpace& pspace);

// The same step on a queue held in a cursor (Count > 0): its counters change
// in the cursor, its entries in the queue's ring.
template <class TonePolicy>
void ExecuteLiveStepWith(CoreMemory& core, QueueCursor& queue, PSpace& pspace);

}  // namespace tw

#include "core/ExecuteStep.h"
