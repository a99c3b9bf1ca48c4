// The sound system of the Windows build: the system's waveOut device.
#include "sound/Selection.h"
#include "sound/Winmm.h"

namespace tw {

const char* AcceptedWaveOutputForms() {
  return "accepted: unset, \"\", default, winmm, null, null:fast, wav:PATH";
}

// "", "default" and "winmm" are the system's default output (the sound
// mapper, which follows the device the user chose).
std::unique_ptr<WaveOutBackend> CreateSystemWaveOutput(const std::string& setting) {
  if (setting.empty() || setting == "default" || setting == "winmm") {
    return CreateWinmmWaveOutBackend(WAVE_MAPPER);
  }
  return nullptr;
}

}  // namespace tw
