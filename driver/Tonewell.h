#pragma once
// The program: command-line checks, the run and the report line.

#include <ostream>
#include <string>
#include <vector>

#include "driver/BattleState.h"
#include "driver/Beeper.h"
#include "driver/CommandLine.h"
#include "driver/RunText.h"

namespace tw {

// Exit statuses.
inline constexpr int ExitFinished = 0;       // "program finished" was written
inline constexpr int ExitFailed = 1;         // a failure ended the run (report line written)
inline constexpr int ExitRejected = 2;       // the command line was rejected
inline constexpr int ExitInterrupted = 130;  // Ctrl-C ended the run (report line written)

// The whole run after an accepted command line: banner, "program started",
// the audio objects, loading, one round of at most 80000 cycles, scores,
// "Seconds: " line, freeing, "program finished". SoundSamples must already be
// set. Failures propagate (the audio objects are then not freed), except that
// Ctrl-C (EControlC) frees them first. The terminal view (TONEWELL_VIEW) is
// drawn on standard error while the battle runs.
void Run(const CommandLine& command_line, BattleState& state, std::ostream& out);

// The entry point behind main: `args` are the arguments after the program
// name. Writes the program's text to `out`; beeps through `beeper`; writes the
// location of a failing warrior line to `err`. Catches every failure and
// writes it as one report line "ClassName: message" to `out`. Returns the
// exit status. A run ended by a signal other than Ctrl-C writes no report
// line; main then calls EndWithSignal (driver/Interrupt.h).
int TonewellMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                 Beeper& beeper);

}  // namespace tw
