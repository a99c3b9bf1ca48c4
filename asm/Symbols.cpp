#include "asm/Symbols.h"

namespace tw::redcode {

std::map<std::string, std::int64_t> DefaultConstants() {
  // WARRIORS is 2: the program always stages one battle of two warriors.
  return {{"CORESIZE", 8000},  {"MAXPROCESSES", 8000}, {"MAXCYCLES", 80000},
          {"MAXLENGTH", 100},  {"MINDISTANCE", 100},   {"ROUNDS", 1},
          {"PSPACESIZE", 500}, {"WARRIORS", 2},        {"VERSION", 94}};
}

}  // namespace tw::redcode
