// The Tonewell program: two warriors, one battle, one tone per instruction.
#include <iostream>
#include <string>
#include <vector>

#include "driver/Beeper.h"
#include "driver/Tonewell.h"
#include "runtime/StandardStreams.h"

int main(int argc, char** argv) {
  tw::UseBinaryStandardStreams();
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  tw::ConsoleBeeper beeper;
  return tw::TonewellMain(args, std::cout, std::cerr, beeper);
}
