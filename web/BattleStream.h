#pragma once
// The web page's battle: the console program's battle made into a stream of
// 16-bit samples that an audio thread pulls as it needs them.
//
// The next instruction is known before it executes (the next warrior in
// order, the head of its process queue, the cell there), so its tone is
// made first and handed out sample by sample; when the tone's last sample
// has gone out, the instruction takes effect (the executor's silent step,
// which fetches that same cell) and the next tone is made. The samples are
// exactly what the console program's sound system plays, tone after tone
// (the tone's whole frames: SoundSamples samples taken in pairs as left and
// right, less the last one when SoundSamples is odd), so the stream is the
// data of the console's WAV recording.

#include <cstdint>
#include <string>
#include <vector>

#include "driver/BattleFeed.h"
#include "driver/BattleState.h"
#include "driver/WarriorReader.h"
#include "view/BattleSnapshot.h"

namespace tw::web {

struct WarriorSource {
  std::string Text;      // the warrior file's whole text
  std::string FileName;  // the name failures and the view show
};

enum class StreamPhase { kIdle, kPlaying, kFinished, kFailed };

class BattleStream {
 public:
  BattleStream();

  // Does what the console's run does before its first tone: the banner,
  // the check of SoundSamples (negative: ERangeError), loading warrior 1
  // then 2 with `reader`, one round of at most 80000 cycles set up, the
  // warriors placed (the placement of a fresh run: RandomSeed is set back
  // to 0), the first tone made. Playing on success; Failed when any step
  // failed (Output then ends with the report line, Details holds what
  // standard error would show).
  StreamPhase Start(const WarriorSource& warrior1, const WarriorSource& warrior2,
                    WarriorReader reader, std::int32_t sound_samples);

  // Writes up to `count` samples of the battle's sound into `out` and
  // returns how many: fewer only when the battle has ended or failed (or,
  // with SoundSamples 0, after kSilentStepsPerCall steps that made no
  // sound). A failure during the battle ends it (Failed, report line).
  std::int32_t Render(std::int16_t* out, std::int32_t count);
  static constexpr int kSilentStepsPerCall = 20000;

  StreamPhase Phase() const { return phase_; }
  // What standard output shows so far: the banner, and the report line of
  // a failure. FinishLines adds what follows a finished battle.
  const std::string& Output() const { return output_; }
  const std::string& Details() const { return details_; }
  // The scores, "Seconds: " with `seconds`, "program finished".
  std::string FinishLines(double seconds) const;

  // Samples handed out so far.
  std::uint64_t SamplesOut() const { return samplesOut_; }
  // Asks for the moment of the battle when the next tone starts; Collect
  // gives it, with the sample at which that tone starts (false until then).
  void RequestMoment() { exchange_.Request(); }
  bool CollectMoment(BattleSnapshot& into, std::uint64_t& first_sample);
  // The names the view shows (";name" line, else the file name).
  const std::vector<std::string>& Names() const { return names_; }
  const BattleState& State() const { return state_; }

 private:
  void Load(const WarriorSource& warrior1, const WarriorSource& warrior2, WarriorReader reader);
  void BeginRound();
  // The next warrior with a process in this cycle, or the next cycle, or
  // the end: false when the battle is over.
  bool FindNextStep();
  void MakeTone();
  // The instruction whose tone has been heard takes effect.
  void TakeEffect();
  void Fail(const std::exception& failure);
  // The samples of each tone that are heard: its whole stereo frames, as the
  // console's outputs play and record them (an odd tone's last sample is not).
  std::int32_t HeardSamples() const { return soundSamples_ - soundSamples_ % 2; }

  BattleState state_;
  SnapshotExchange exchange_;
  BattleFeed feed_;
  std::vector<std::string> names_;
  StreamPhase phase_ = StreamPhase::kIdle;
  std::string output_;
  std::string details_;
  std::int32_t soundSamples_ = 0;
  std::int32_t cycle_ = 0;
  int warrior_ = 0;  // whose instruction sounds now
  std::vector<double> toneSamples_;
  std::vector<std::int16_t> tone_;
  std::int32_t toneOut_ = 0;  // samples of tone_ handed out
  std::uint64_t samplesOut_ = 0;
  std::uint64_t toneStart_ = 0;  // sample at which the heard tone starts
  bool momentTaken_ = false;     // a moment was published at the heard tone's start
};

}  // namespace tw::web
