#include "driver/Beeper.h"

#include <chrono>
#include <thread>

#include "platform/MessageBeep.h"

namespace tw {

void ConsoleBeeper::Beep(int pause_ms) {
  MessageBeep(0);
  std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
}

}  // namespace tw
