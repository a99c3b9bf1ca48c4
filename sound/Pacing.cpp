#include "sound/Pacing.h"

#include <cstdlib>

namespace tw {

bool WaveOutputIsPaced(const std::string& setting) {
  if (setting == "null:fast") return false;
  if (setting.rfind("wav:", 0) == 0 && setting.size() > 4) return false;
  return true;
}

bool WaveOutputFromEnvironmentIsPaced() {
  const char* value = std::getenv("TONEWELL_AUDIO");
  return WaveOutputIsPaced(value == nullptr ? std::string() : std::string(value));
}

}  // namespace tw
