// tonewell-asm: Redcode source in, tonewell's load form out.
#include <iostream>
#include <string>
#include <vector>

#include "asm/AsmMain.h"
#include "runtime/StandardStreams.h"

int main(int argc, char** argv) {
  tw::UseBinaryStandardStreams();
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  return tw::redcode::AsmMain(args, std::cout, std::cerr);
}
