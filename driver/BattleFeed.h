#pragma once
// The battle loop's observer for the terminal view: keeps which warrior last
// wrote each core cell and publishes a snapshot whenever the view asks.
// Only the view's instantiation of the battle loop carries it; a battle
// without a view runs the loop without any of this.

#include <array>
#include <cstdint>
#include <string>

#include "driver/BattleState.h"
#include "driver/StepWrites.h"
#include "view/BattleSnapshot.h"

namespace tw {

// "MOV.I $0, $1": an instruction as Redcode text, numbers as stored
// (0..7999). Fields no table names print as "?".
std::string RedcodeText(const CoreCell& cell);

class BattleFeed {
 public:
  explicit BattleFeed(SnapshotExchange& exchange) : exchange_(exchange) {}

  // The observer hooks of RunBattleWith (see NoBattleObserver).
  void RoundStarted(const BattleState& state);
  TW_ALWAYS_INLINE void BeforeStep(int warrior, const CoreMemory& core, const ProcessQueue& queue) {
    const int pc = queue.Entries[queue.Head];
    if (exchange_.Wanted()) [[unlikely]]
      Publish(warrior, pc);
    ++tones_;
    const StepWrites writes = PredictStepWrites(core, pc);
    const auto writer = static_cast<std::uint8_t>(warrior + 1);
    for (int i = 0; i < writes.Count; ++i) writers_[writes.Addresses[i]] = writer;
  }
  void CycleEnded(std::int32_t cycle) { cycle_ = cycle + 1; }

  // The battle is over (ended by Ctrl-C when `interrupted`): publishes its
  // last moment (Finished) whether asked or not.
  void PublishFinal(bool interrupted = false);

  // Which warrior last wrote each cell: 0 none this round, w + 1 warrior w.
  const std::array<std::uint8_t, CoreSize>& Writers() const { return writers_; }

 private:
  void Publish(int warrior, int pc);
  void Fill(BattleSnapshot& s, int warrior, int pc) const;

  SnapshotExchange& exchange_;
  const BattleState* state_ = nullptr;
  std::array<std::uint8_t, CoreSize> writers_{};
  std::int32_t cycle_ = 0;
  std::uint64_t tones_ = 0;
};

}  // namespace tw
