#include "driver/BattleFeed.h"

#include <algorithm>
#include <cstring>

#include "core/unit_core_utils.h"

namespace tw {

std::string RedcodeText(const CoreCell& cell) {
  const unsigned op = GetOpcode(cell.InstructionWord);
  const unsigned modifier = GetModifier(cell.InstructionWord);
  const unsigned a_mode = GetAMode(cell.InstructionWord);
  const unsigned b_mode = GetBMode(cell.InstructionWord);
  std::string text = op < OpcodeCount ? std::string(OpcodeNames[op]) : "?";
  if (modifier < ModifierCount) {
    std::string_view name = ModifierNames[modifier];
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    text += name;
  } else {
    text += ".?";
  }
  text += ' ';
  text += ModeSymbols[a_mode];
  text += std::to_string(static_cast<std::uint16_t>(cell.ANumber));
  text += ", ";
  text += b_mode < AddressingModeCount ? ModeSymbols[b_mode] : '?';
  text += std::to_string(static_cast<std::uint16_t>(cell.BNumber));
  return text;
}

void BattleFeed::RoundStarted(const BattleState& state) {
  state_ = &state;
  cycle_ = 1;
  writers_.fill(0);
  // Each warrior's code was just copied in front of its first process.
  for (int w = 0; w < state.WarriorCount && w < ViewMaxWarriors; ++w) {
    const ProcessQueue& queue = state.ProcessQueues[w];
    if (queue.Count <= 0) continue;
    const int start = queue.Entries[queue.Head];
    const int first = NormalizeAddress(start - state.StartOffsets[w]);
    const int length = static_cast<int>(std::min<std::size_t>(state.Programs[w].size(), CoreSize));
    for (int i = 0; i < length; ++i) {
      writers_[(first + i) % CoreSize] = static_cast<std::uint8_t>(w + 1);
    }
  }
}

void BattleFeed::Fill(BattleSnapshot& s, int warrior, int pc) const {
  s.Cycle = cycle_;
  s.Tones = tones_;
  s.WarriorCount = 0;
  if (state_ != nullptr) {
    s.WarriorCount = std::min(state_->WarriorCount, ViewMaxWarriors);
    for (int w = 0; w < s.WarriorCount; ++w) {
      const ProcessQueue& queue = state_->ProcessQueues[w];
      s.Warriors[w].Processes = queue.Count;
      s.Warriors[w].NextAddress = queue.Count > 0 ? queue.Entries[queue.Head] : -1;
    }
  }
  s.HeardWarrior = warrior;
  s.HeardAddress = pc;
  s.Heard.fill('\0');
  if (warrior >= 0 && state_ != nullptr) {
    const std::string text = RedcodeText(state_->Core[pc]);
    std::memcpy(s.Heard.data(), text.data(), std::min(text.size(), s.Heard.size() - 1));
  }
  s.Writers.assign(writers_.begin(), writers_.end());
  s.Finished = false;
  s.Interrupted = false;
}

void BattleFeed::Publish(int warrior, int pc) {
  exchange_.Publish([&](BattleSnapshot& s) { Fill(s, warrior, pc); });
}

void BattleFeed::PublishFinal(bool interrupted) {
  exchange_.Publish([&](BattleSnapshot& s) {
    Fill(s, -1, 0);
    if (state_ != nullptr) s.Cycle = state_->EndCycle;
    s.Finished = true;
    s.Interrupted = interrupted;
  });
}

}  // namespace tw
