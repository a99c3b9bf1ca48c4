// Fault injection over the whole road of the program: TonewellMain plays a
// battle (SynthesizeTone, the player, the device object, the wave output
// functions) on a real sound system wrapped so that the n-th call of one
// kind fails, for every n that a run without faults reaches and every kind.
// Every run must end (a watchdog aborts the program otherwise) and follow
// the rules: the run ends with its report line (a refused format query), or
// the tone ends early with one report on standard error and the battle goes
// on to the same scores. Afterwards the audio objects are freed and every
// stream the sound system opened is closed and gone; leaks and memory
// errors are the sanitizer build's to find. The same for a WAV file whose
// n-th write or seek fails: the file stays a WAV that readers take, whose
// header lags its data by at most one tone (TonewellFaults_posix_test.cpp,
// with ALSA).

#include "driver/TonewellFaults.h"

namespace tw {
namespace {

TEST(ProgramFaults, EveryFailureOnTheFastNullCardEndsTheToneOrTheRun) {
  // Buffers come back inside the write here, so a short stall bound is safe.
  // Short tones: the synthesis is not what is tried here.
  FaultRoad road("null:fast", {kCountdown, kCrawler, "16"}, 2);
  TryEveryFault(road, "null:fast, Countdown vs Crawler");
}

TEST(ProgramFaults, EveryFailureOnThePacedNullCardEndsTheToneOrTheRun) {
  ShortBattle battle;
  FaultRoad road("null", battle.Args("100"), 250);
  TryEveryFault(road, "null, 10 tones");
}

TEST(ProgramFaults, EveryFailureOnTheWavRecorderEndsTheToneOrTheRun) {
  ShortBattle battle;
  FaultRoad road("wav:" + (battle.Dir() / "battle.wav").string(), battle.Args("1000"), 50);
  TryEveryFault(road, "wav:, 10 tones");
}

}  // namespace
}  // namespace tw
