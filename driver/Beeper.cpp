#include "driver/Beeper.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace tw {

void ConsoleBeeper::Beep(int pause_ms) {
  std::fputc('\a', stderr);
  std::fflush(stderr);
  std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
}

}  // namespace tw
