#pragma once
// A beeper for tests of the program's entry point: it sounds nothing and
// does not pause, and keeps the pause of every beep asked for, in order.

#include <vector>

#include "driver/Beeper.h"

namespace tw::testing {

class RecordingBeeper : public Beeper {
 public:
  void Beep(int pause_ms) override { pauses.push_back(pause_ms); }
  std::vector<int> pauses;
};

}  // namespace tw::testing
