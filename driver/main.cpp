// The Tonewell program: two warriors, one battle, one tone per instruction.
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "driver/Beeper.h"
#include "driver/Interrupt.h"
#include "driver/Tonewell.h"
#include "runtime/StandardStreams.h"
#include "sound/WavRecorder.h"

int main(int argc, char** argv) {
  tw::UseBinaryStandardStreams();
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  tw::ConsoleBeeper beeper;
  // Sound recorded to standard output (wav:/dev/stdout into a pipe) keeps
  // it to itself: the text goes to standard error instead.
  const char* audio = std::getenv("TONEWELL_AUDIO");
  const bool soundOnStdout =
      audio != nullptr && std::strncmp(audio, "wav:", 4) == 0 && tw::IsStandardOutput(audio + 4);
  const int status =
      tw::TonewellMain(args, soundOnStdout ? std::cerr : std::cout, std::cerr, beeper);
  std::cout.flush();
  tw::EndWithSignal();  // SIGTERM and the like end the program as they would have
  return status;
}
