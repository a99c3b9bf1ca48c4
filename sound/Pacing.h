#pragma once
// Whether a TONEWELL_AUDIO sound system plays in real time: a paced output
// takes a tone as long as it sounds; an unpaced one (null:fast, wav:PATH)
// takes tones as fast as they come, so a battle's speed is the machine's.

#include <string>

namespace tw {

// True for every value but "null:fast" and "wav:PATH" (an unknown value
// counts as paced; SelectWaveOutput is what rejects it).
bool WaveOutputIsPaced(const std::string& setting);
// WaveOutputIsPaced of the environment's TONEWELL_AUDIO (unset counts as "").
bool WaveOutputFromEnvironmentIsPaced();

}  // namespace tw
