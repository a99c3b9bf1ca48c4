// The functions the page and its audio worklet call in the WebAssembly
// module. Each instance holds one battle (the worklet's plays it, the page's
// checks the warriors, renders the WAV and draws the view); text and
// samples pass through buffers in the module's memory whose addresses these
// functions return. Nothing here throws: failures are in the battle's
// report (BattleStream).

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>

#include "core/unit_random_warrior_position_generator.h"
#include "driver/BattleLoop.h"
#include "runtime/IntText.h"
#include "view/FrameText.h"
#include "web/BattleStream.h"

#define TW_EXPORT(name) extern "C" __attribute__((export_name(name)))

namespace tw::web {
namespace {

// The longest render the worklet asks for, in frames.
constexpr int kMaxFrames = 8192;

// One moment of the battle as it travels from the worklet's instance to the
// page's (the same module, so the same layout).
struct MomentRecord {
  double FirstSample = 0;  // the sample at which the heard tone starts
  double Tones = 0;
  std::int32_t Cycle = 0;
  std::int32_t WarriorCount = 0;
  std::int32_t HeardWarrior = -1;
  std::int32_t HeardAddress = 0;
  std::int32_t Finished = 0;
  std::array<std::int32_t, ViewMaxWarriors> Processes{};
  std::array<std::int32_t, ViewMaxWarriors> Next{};
  std::array<char, 32> Heard{};
  std::array<std::uint8_t, CoreSize> Writers{};
};

struct Module {
  BattleStream Stream;
  std::array<std::string, 4> Inputs;  // text 1, file name 1, text 2, file name 2
  std::string Text;
  std::array<std::int16_t, 2 * kMaxFrames> Pcm{};
  std::array<float, kMaxFrames> Left{};
  std::array<float, kMaxFrames> Right{};
  BattleSnapshot Moment;
  MomentRecord Record;
  std::vector<MapGlyph> Map;
  std::vector<std::uint8_t> MapBytes;
  double SecondsPerTone = 0;
};

Module& The() {
  static Module module;
  return module;
}

void Pack(const BattleSnapshot& s, double first_sample, MomentRecord& r) {
  r.FirstSample = first_sample;
  r.Tones = static_cast<double>(s.Tones);
  r.Cycle = s.Cycle;
  r.WarriorCount = s.WarriorCount;
  r.HeardWarrior = s.HeardWarrior;
  r.HeardAddress = s.HeardAddress;
  r.Finished = s.Finished ? 1 : 0;
  for (int w = 0; w < ViewMaxWarriors; ++w) {
    r.Processes[w] = s.Warriors[w].Processes;
    r.Next[w] = s.Warriors[w].NextAddress;
  }
  r.Heard = s.Heard;
  std::copy_n(s.Writers.begin(), std::min<std::size_t>(s.Writers.size(), CoreSize),
              r.Writers.begin());
}

void Unpack(const MomentRecord& r, BattleSnapshot& s) {
  s.Tones = static_cast<std::uint64_t>(r.Tones);
  s.Cycle = r.Cycle;
  s.WarriorCount = r.WarriorCount;
  s.HeardWarrior = r.HeardWarrior;
  s.HeardAddress = r.HeardAddress;
  s.Finished = r.Finished != 0;
  s.Interrupted = false;
  for (int w = 0; w < ViewMaxWarriors; ++w) {
    s.Warriors[w].Processes = r.Processes[w];
    s.Warriors[w].NextAddress = r.Next[w];
  }
  s.Heard = r.Heard;
  s.Writers.assign(r.Writers.begin(), r.Writers.end());
}

BattleDescription Description() {
  BattleDescription d;
  d.Names = The().Stream.Names();
  d.CycleLimit = The().Stream.State().Cycles;
  d.CoreCells = CoreSize;
  d.SecondsPerTone = The().SecondsPerTone;
  return d;
}

}  // namespace
}  // namespace tw::web

using tw::web::The;

// Room for input `which` (0: warrior 1's text, 1: its file name, 2 and 3:
// warrior 2's) of `size` bytes; the caller writes the bytes there.
TW_EXPORT("tw_input") char* TwInput(int which, int size) {
  std::string& input = The().Inputs.at(static_cast<std::size_t>(which));
  input.assign(static_cast<std::size_t>(std::max(size, 0)), '\0');
  return input.data();
}

// Reads input 0 as the console reads its SoundSamples argument: 1 and the
// value into tw_text's first four bytes, or 0 when it is no integer.
TW_EXPORT("tw_parse_sound_samples") int TwParseSoundSamples() {
  const std::optional<std::int32_t> value = tw::ParseInt32(The().Inputs[0]);
  if (!value) return 0;
  The().Text.assign(sizeof(std::int32_t), '\0');
  std::memcpy(The().Text.data(), &*value, sizeof(std::int32_t));
  return 1;
}

// Starts the battle of the inputs; reader 0: load form, 1: Redcode source.
// Returns the phase (1 playing, 2 finished, 3 failed).
TW_EXPORT("tw_start") int TwStart(int reader, int sound_samples) {
  auto& m = The();
  m.SecondsPerTone = sound_samples / 88200.0;
  const tw::web::WarriorSource w1{m.Inputs[0], m.Inputs[1]};
  const tw::web::WarriorSource w2{m.Inputs[2], m.Inputs[3]};
  return static_cast<int>(m.Stream.Start(
      w1, w2, reader == 1 ? tw::WarriorReader::kSource : tw::WarriorReader::kLoadForm,
      sound_samples));
}

TW_EXPORT("tw_phase") int TwPhase() { return static_cast<int>(The().Stream.Phase()); }

// Renders up to `frames` frames (at most kMaxFrames): the samples into
// tw_pcm (interleaved, as the WAV holds them) and as sample / 32768 into
// tw_left and tw_right, silence after the battle's end. Returns the number
// of samples the battle put out (odd when a tone ends mid-frame at the end).
TW_EXPORT("tw_render") int TwRender(int frames) {
  auto& m = The();
  frames = std::clamp(frames, 0, tw::web::kMaxFrames);
  const std::int32_t n = m.Stream.Render(m.Pcm.data(), 2 * frames);
  std::fill(m.Pcm.begin() + n, m.Pcm.begin() + 2 * frames, 0);
  for (int i = 0; i < frames; ++i) {
    m.Left[static_cast<std::size_t>(i)] = static_cast<float>(m.Pcm[2 * i] / 32768.0);
    m.Right[static_cast<std::size_t>(i)] = static_cast<float>(m.Pcm[2 * i + 1] / 32768.0);
  }
  return n;
}

TW_EXPORT("tw_pcm") std::int16_t* TwPcm() { return The().Pcm.data(); }
TW_EXPORT("tw_left") float* TwLeft() { return The().Left.data(); }
TW_EXPORT("tw_right") float* TwRight() { return The().Right.data(); }
TW_EXPORT("tw_samples_out") double TwSamplesOut() {
  return static_cast<double>(The().Stream.SamplesOut());
}

// Makes text `kind` and returns its length; tw_text gives its address.
// 0: standard output so far; 1: what standard error shows of a failure;
// 2: the lines after a finished battle with `value` seconds; 3: the status
// line and the heard line of the last moment unpacked, `value` characters
// wide.
TW_EXPORT("tw_make_text") int TwMakeText(int kind, double value) {
  auto& m = The();
  switch (kind) {
    case 0:
      m.Text = m.Stream.Output();
      break;
    case 1:
      m.Text = m.Stream.Details();
      break;
    case 2:
      m.Text = m.Stream.FinishLines(value);
      break;
    default: {
      const tw::BattleDescription d = tw::web::Description();
      const int width = static_cast<int>(value);
      m.Text = tw::StatusLine(d, m.Moment, width) + "\n" +
               tw::HeardLine(d, m.Moment, tw::FrameFigures{}, width);
      break;
    }
  }
  return static_cast<int>(m.Text.size());
}

TW_EXPORT("tw_text") const char* TwText() { return The().Text.data(); }

// Asks for the moment at the start of the next tone.
TW_EXPORT("tw_request_moment") void TwRequestMoment() { The().Stream.RequestMoment(); }

// Packs the moment asked for into tw_moment (returns its size), or returns
// 0 while none has been taken.
TW_EXPORT("tw_take_moment") int TwTakeMoment() {
  auto& m = The();
  std::uint64_t first = 0;
  if (!m.Stream.CollectMoment(m.Moment, first)) return 0;
  tw::web::Pack(m.Moment, static_cast<double>(first), m.Record);
  return static_cast<int>(sizeof m.Record);
}

TW_EXPORT("tw_moment") void* TwMoment() { return &The().Record; }
TW_EXPORT("tw_moment_size") int TwMomentSize() { return sizeof(tw::web::MomentRecord); }

// Reads a moment written into tw_moment (by the worklet's instance) as the
// one the view shows.
TW_EXPORT("tw_use_moment") void TwUseMoment() { tw::web::Unpack(The().Record, The().Moment); }

// The map of the moment in use in `rows` x `cols` characters: one byte per
// character into tw_map (0 untouched, w + 1 last written by warrior w, plus
// 16 for a warrior's next instruction); returns the number of characters.
TW_EXPORT("tw_make_map") int TwMakeMap(int rows, int cols) {
  auto& m = The();
  const tw::MapLayout layout = tw::LayoutMap(tw::CoreSize, rows, cols);
  tw::ComposeMap(m.Moment, layout, m.Map);
  m.MapBytes.resize(m.Map.size());
  for (std::size_t i = 0; i < m.Map.size(); ++i) {
    const tw::MapGlyph& g = m.Map[i];
    m.MapBytes[i] = static_cast<std::uint8_t>((g.Owner + 1) | (g.Next ? 16 : 0));
  }
  return layout.Chars;
}

TW_EXPORT("tw_map") const std::uint8_t* TwMap() { return The().MapBytes.data(); }

// For the benchmark of the executor: loads the inputs (load form) and runs
// `count` silent battles of one round and 80000 cycles, as the native
// executor benchmark does. Returns the instructions executed, or -1 when a
// warrior does not load or a battle ends before its last cycle (not a
// full-length pair).
TW_EXPORT("tw_silent_battles") double TwSilentBattles(int count) {
  auto& m = The();
  static tw::BattleState state;
  try {
    tw::ReadWarriorText(tw::WarriorReader::kLoadForm, m.Inputs[0], m.Inputs[1], state.Programs[0],
                        state.StartOffsets[0]);
    tw::ReadWarriorText(tw::WarriorReader::kLoadForm, m.Inputs[2], m.Inputs[3], state.Programs[1],
                        state.StartOffsets[1]);
  } catch (const std::exception&) {
    return -1;
  }
  state.WarriorCount = 2;
  state.Rounds = 1;
  state.Cycles = 80000;
  double steps = 0;
  for (int i = 0; i < count; ++i) {
    tw::RandomSeed = 0;
    tw::RunBattleWith<tw::SilentTone>(state);
    if (state.EndCycle != state.Cycles || state.AliveCount != 2) return -1;
    steps += 2.0 * state.Cycles;
  }
  return steps;
}
