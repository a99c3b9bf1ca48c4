#pragma once
// The shape the sound-server outputs' TONEWELL_AUDIO values share
// (`pulse...`, `pipewire...`): a name of what to play on and a latency.

#include <optional>
#include <string>

namespace tw {

struct ServerSettingParts {
  std::string name;                    // NAME, empty when not given
  std::optional<std::string> latency;  // L, when "?latency=" was given
};

// Splits the part of a value after the output's own name: "", ":NAME",
// "?latency=L" or ":NAME?latency=L". False for anything else (an empty
// NAME, another option); `parts` is then unspecified.
bool SplitServerSetting(const std::string& rest, ServerSettingParts& parts);

// Reads milliseconds from 0.5 to 100 written "2", "1.5" or "1.5ms" (digits
// with at most one inner dot). False for anything else.
bool ParseLatencyMilliseconds(std::string text, double& ms);

}  // namespace tw
