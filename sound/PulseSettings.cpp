#include "sound/PulseSettings.h"

#include <cmath>

#include "sound/ServerSetting.h"

namespace tw {

bool ParsePulseSetting(const std::string& rest, PulseOutputSettings& settings) {
  ServerSettingParts parts;
  if (!SplitServerSetting(rest, parts)) return false;
  PulseOutputSettings s = settings;
  if (parts.latency) {
    double ms = 0;
    if (!ParseLatencyMilliseconds(*parts.latency, ms)) return false;
    s.latency = std::chrono::microseconds(std::llround(ms * 1000.0));
  }
  if (!parts.name.empty()) s.sink = parts.name;
  settings = s;
  return true;
}

}  // namespace tw
