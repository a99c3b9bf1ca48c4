#include "driver/Tonewell.h"

#include <cstdlib>
#include <cstring>

#include "core/ToneAudio.h"
#include "core/unit_core_execute_quillmar.h"
#include "core/unit_core_program_utils.h"
#include "driver/BattleLoop.h"
#include "driver/Interrupt.h"
#include "driver/LiveView.h"
#include "driver/RunText.h"
#include "platform/PerformanceCounter.h"
#include "platform/SameFile.h"
#include "runtime/Exceptions.h"
#include "sound/Selection.h"

namespace tw {

namespace {

// A recording into one of the warrior files would empty it before it is
// read: refused before anything is written, whatever name the file has
// there (a link, a path through "..", /dev/fd/N).
void RefuseRecordingOverAWarrior(const CommandLine& command_line) {
  const char* audio = std::getenv("TONEWELL_AUDIO");
  if (audio == nullptr || std::strncmp(audio, "wav:", 4) != 0 || audio[4] == '\0') return;
  const std::string target = audio + 4;
  for (const std::string* warrior :
       {&command_line.Warrior1FileName, &command_line.Warrior2FileName}) {
    if (IsSameFile(target, *warrior)) {
      throw EAudioSettingError("The WAV recording \"" + target + "\" is the warrior file \"" +
                               *warrior + "\"; it is left as it is");
    }
  }
}

}  // namespace

void Run(const CommandLine& command_line, BattleState& state, std::ostream& out) {
  out << BannerLines();
  out.flush();
  InterruptWatch interrupt;
  const ViewSetting view_setting = ViewSettingFromEnvironment();
  RefuseRecordingOverAWarrior(command_line);
  CreateAudioObjects();
  interrupt.SetPlayer(AudioPlayer);
  constexpr std::int32_t kCycles = 80000;
  std::int64_t start = 0;
  std::int64_t stop = 0;
  std::int64_t frequency = 1;
  try {
    // The view is up before the clock starts: setting up the terminal is not
    // part of the battle.
    LiveView view(view_setting, command_line, kCycles);
    const WatchedView watched(interrupt, view);
    QueryPerformanceCounter(&start);
    LoadWarriors(state, command_line.Warrior1FileName, command_line.Warrior2FileName);
    state.Rounds = 1;
    state.Cycles = kCycles;
    view.RunBattle(state);
    if (InterruptRequested()) ThrowInterrupted();
    QueryPerformanceCounter(&stop);
    QueryPerformanceFrequency(&frequency);
    view.Stop();  // the terminal is back before the scores are written
  } catch (const EControlC&) {
    // Every tone played so far is kept: the audio objects are freed as at the end.
    interrupt.SetPlayer(nullptr);
    FreeAudioObjects();
    throw EControlC("Interrupted by Control-C after cycle " + std::to_string(state.EndCycle));
  }
  interrupt.SetPlayer(nullptr);
  PrintScores(state, out);
  out << "Seconds: "
      << FormatSeconds(static_cast<long double>(stop - start) / static_cast<long double>(frequency))
      << '\n';
  FreeAudioObjects();
  out << "program finished\n";
  out.flush();
}

int TonewellMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                 Beeper& beeper) {
  try {
    CommandLine command_line;
    const CommandLineVerdict verdict = CheckCommandLine(args, command_line);
    if (verdict != CommandLineVerdict::kAccepted) {
      AnswerRejectedCommandLine(verdict, beeper, out);
      return ExitRejected;
    }
    SoundSamples = command_line.SoundSamples;
    Run(command_line, Battle, out);
    return ExitFinished;
  } catch (const EControlC& e) {
    // Another signal ends the program as it would have (EndWithSignal),
    // without a line.
    if (interrupt_detail::gEndingSignal.load() == 0) {
      out << ReportLine(e) << '\n';
      out.flush();
    }
    return ExitInterrupted;
  } catch (const std::exception& e) {
    out << ReportLine(e) << '\n';
    out.flush();
    err << FailureDetailLines(e);
    err.flush();
  } catch (...) {
    out << "Exception: Unknown failure\n";
  }
  out.flush();
  return ExitFailed;
}

}  // namespace tw
