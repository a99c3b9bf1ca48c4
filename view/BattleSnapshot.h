#pragma once
// What the view shows of a battle: the parts fixed for the whole run, one
// moment of the battle, and the exchange through which the battle thread
// hands a moment to the view thread when (and only when) the view asks.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace tw {

inline constexpr int ViewMaxWarriors = 3;

// Fixed for the whole run.
struct BattleDescription {
  std::vector<std::string> Names;  // one per warrior, as shown
  std::int32_t CycleLimit = 0;
  int CoreCells = 0;
  double SecondsPerTone = 0;  // the sound time of one tone
  bool Unpaced = false;       // the output takes tones as fast as they come
};

struct WarriorMoment {
  std::int32_t Processes = 0;
  std::int32_t NextAddress = -1;  // the instruction it runs next; -1 without a process
};

// One moment of the battle, taken just before a tone starts to sound.
struct BattleSnapshot {
  std::int32_t Cycle = 0;   // the cycle under way, 1..CycleLimit
  std::uint64_t Tones = 0;  // tones begun before the one heard now
  int WarriorCount = 0;
  std::array<WarriorMoment, ViewMaxWarriors> Warriors{};
  int HeardWarrior = -1;  // whose instruction sounds now; -1 before the first
  std::int32_t HeardAddress = 0;
  std::array<char, 32> Heard{};  // that instruction as Redcode text, NUL-terminated
  // Per core cell: 0 never written this round, w + 1 last written by warrior w.
  std::vector<std::uint8_t> Writers;
  bool Finished = false;     // the battle is over; nothing sounds any more
  bool Interrupted = false;  // and it was ended by Ctrl-C
  std::chrono::steady_clock::time_point Taken{};
};

// The battle thread polls Wanted() (one relaxed load) and, when it is true,
// fills the shared snapshot through Publish; the view thread asks with
// Request() and collects with Collect(). A battle without a view never
// touches an exchange.
class SnapshotExchange {
 public:
  bool Wanted() const { return wanted_.load(std::memory_order_relaxed); }

  // Battle thread. fill(BattleSnapshot&) writes the moment into the shared
  // snapshot, under the exchange's lock.
  template <class Fill>
  void Publish(Fill&& fill) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      fill(shared_);
      shared_.Taken = std::chrono::steady_clock::now();
      fresh_ = true;
      wanted_.store(false, std::memory_order_relaxed);
    }
    published_.notify_one();
  }

  // View thread: asks for the next moment.
  void Request() { wanted_.store(true, std::memory_order_relaxed); }

  // View thread: copies a moment published since the last Collect into
  // `into`, waiting for one until `deadline`. False (and `into` untouched)
  // when none came.
  bool Collect(BattleSnapshot& into, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!published_.wait_until(lock, deadline, [this] { return fresh_; })) return false;
    // Swap rather than copy: both sides keep their buffers allocated (a
    // fill assigns every field, the cell map in place).
    std::swap(into, shared_);
    fresh_ = false;
    return true;
  }

 private:
  std::atomic<bool> wanted_{false};
  std::mutex mutex_;
  std::condition_variable published_;
  bool fresh_ = false;
  BattleSnapshot shared_;
};

}  // namespace tw
