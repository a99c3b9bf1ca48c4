#include "web/BattleStream.h"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "core/ToneSynthesis.h"
#include "core/unit_core_execute_quillmar.h"
#include "core/unit_core_utils.h"
#include "core/unit_random_warrior_position_generator.h"
#include "driver/BattleLoop.h"
#include "driver/RunText.h"
#include "driver/WarriorName.h"
#include "runtime/Exceptions.h"

namespace tw::web {

namespace {

// What the console's run sets before its battle.
constexpr std::int32_t kRounds = 1;
constexpr std::int32_t kCycles = 80000;

}  // namespace

BattleStream::BattleStream() : feed_(exchange_) {}

StreamPhase BattleStream::Start(const WarriorSource& warrior1, const WarriorSource& warrior2,
                                WarriorReader reader, std::int32_t sound_samples) {
  output_ = BannerLines();
  details_.clear();
  names_ = {WarriorNameOfText(warrior1.Text, warrior1.FileName),
            WarriorNameOfText(warrior2.Text, warrior2.FileName)};
  samplesOut_ = 0;
  toneOut_ = 0;
  momentTaken_ = false;
  phase_ = StreamPhase::kPlaying;
  try {
    // The sample arrays of a negative length: the console's range failure.
    if (sound_samples < 0) throw ERangeError("Range check error");
    soundSamples_ = sound_samples;
    toneSamples_.assign(static_cast<std::size_t>(sound_samples), 0.0);
    tone_.assign(static_cast<std::size_t>(sound_samples), 0);
    Load(warrior1, warrior2, reader);
    BeginRound();
    if (FindNextStep()) {
      MakeTone();
    } else {
      phase_ = StreamPhase::kFinished;
    }
  } catch (const std::exception& e) {
    Fail(e);
  }
  return phase_;
}

void BattleStream::Load(const WarriorSource& warrior1, const WarriorSource& warrior2,
                        WarriorReader reader) {
  state_.WarriorCount = 0;
  ReadWarriorText(reader, warrior1.Text, warrior1.FileName, state_.Programs[0],
                  state_.StartOffsets[0]);
  state_.WarriorCount = 1;
  ReadWarriorText(reader, warrior2.Text, warrior2.FileName, state_.Programs[1],
                  state_.StartOffsets[1]);
  state_.WarriorCount = 2;
}

// The start of RunBattleWith for its one round.
void BattleStream::BeginRound() {
  state_.Rounds = kRounds;
  state_.Cycles = kCycles;
  for (int w = 0; w < state_.WarriorCount; ++w) {
    state_.Scores[w] = 0;
    state_.PSpaces[w].fill(0);
    state_.PSpaces[w][0] = static_cast<std::int16_t>(NormalizeAddress(-1));
  }
  RandomSeed = 0;
  battle_detail::StartRound(state_);
  feed_.RoundStarted(state_);
  state_.AliveCount = battle_detail::CountAlive(state_);
  state_.EndCycle = 0;
  cycle_ = 1;
  warrior_ = -1;
}

// The cycle loop of RunBattleWith, one step at a time: in every cycle each
// warrior with a process steps in index order; after the cycle the round
// ends when fewer than two are alive or the cycle limit is reached.
bool BattleStream::FindNextStep() {
  for (;;) {
    ++warrior_;
    if (warrior_ < state_.WarriorCount) {
      if (state_.ProcessQueues[warrior_].Count > 0) return true;
      continue;
    }
    state_.EndCycle = cycle_;
    feed_.CycleEnded(cycle_);
    state_.AliveCount = battle_detail::CountAlive(state_);
    if (state_.AliveCount < 2 || cycle_ >= state_.Cycles) {
      battle_detail::FinishRound(state_);
      return false;
    }
    ++cycle_;
    warrior_ = -1;
  }
}

void BattleStream::MakeTone() {
  const ProcessQueue& queue = state_.ProcessQueues[warrior_];
  const bool wanted = exchange_.Wanted();
  feed_.BeforeStep(warrior_, state_.Core, queue);
  if (wanted) {
    momentTaken_ = true;
    toneStart_ = samplesOut_;
  }
  const CoreCell& cell = state_.Core[queue.Entries[queue.Head]];
  ComputeTonePcm(cell, toneSamples_.data(), tone_.data(), soundSamples_);
  toneOut_ = 0;
}

void BattleStream::TakeEffect() {
  ExecuteStepWith<SilentTone>(state_.Core, state_.ProcessQueues[warrior_],
                              state_.PSpaces[warrior_]);
}

std::int32_t BattleStream::Render(std::int16_t* out, std::int32_t count) {
  std::int32_t written = 0;
  int silent_steps = 0;
  try {
    while (phase_ == StreamPhase::kPlaying && written < count) {
      const std::int32_t left = HeardSamples() - toneOut_;
      if (left > 0) {
        const std::int32_t n = std::min(left, count - written);
        std::memcpy(out + written, tone_.data() + toneOut_, sizeof(std::int16_t) * n);
        toneOut_ += n;
        written += n;
        samplesOut_ += static_cast<std::uint64_t>(n);
        continue;
      }
      TakeEffect();
      if (!FindNextStep()) {
        phase_ = StreamPhase::kFinished;
        feed_.PublishFinal();
        momentTaken_ = true;
        toneStart_ = samplesOut_;
        break;
      }
      MakeTone();
      if (soundSamples_ == 0 && ++silent_steps >= kSilentStepsPerCall) break;
    }
  } catch (const std::exception& e) {
    Fail(e);
  }
  return written;
}

void BattleStream::Fail(const std::exception& failure) {
  output_ += ReportLine(failure) + "\n";
  details_ = FailureDetailLines(failure);
  phase_ = StreamPhase::kFailed;
}

std::string BattleStream::FinishLines(double seconds) const {
  std::ostringstream out;
  PrintScores(state_, out);
  out << "Seconds: " << FormatSeconds(seconds) << '\n' << "program finished\n";
  return out.str();
}

bool BattleStream::CollectMoment(BattleSnapshot& into, std::uint64_t& first_sample) {
  if (!momentTaken_) return false;
  // Published already: the wait ends at once.
  if (!exchange_.Collect(into, std::chrono::steady_clock::time_point{})) return false;
  momentTaken_ = false;
  first_sample = toneStart_;
  return true;
}

}  // namespace tw::web
