// The sound systems of the Linux build: ALSA and the desktop's sound server.
#include <chrono>

#include "platform/WaveOutApi.h"
#include "sound/Alsa.h"
#include "sound/Pulse.h"
#include "sound/Selection.h"

namespace tw {
namespace {

const char kAcceptedForms[] =
    "accepted: unset, \"\", default, alsa, alsa:NAME, pulse, pulse:SINK, pulse?latency=MS, "
    "pulse:SINK?latency=MS, null, null:fast, wav:PATH";

// "" and "default" mean the desktop's sound server when one answers (as
// other players choose), else the ALSA PCM "default"; "alsa" and "alsa:NAME"
// always mean ALSA.
std::unique_ptr<WaveOutBackend> CreateDefaultOrAlsa(const std::string& setting,
                                                    const std::string& pcmName) {
  if (setting.empty() || setting == "default") {
    if (auto server = ConnectPulseWaveOutBackend({}, std::chrono::milliseconds(1500)))
      return server;
  }
  return CreateAlsaWaveOutBackend(pcmName);
}

}  // namespace

const char* AcceptedWaveOutputForms() { return kAcceptedForms; }

std::unique_ptr<WaveOutBackend> CreateSystemWaveOutput(const std::string& setting) {
  // "alsa:" with no name is the same as "alsa": the PCM "default".
  if (setting.empty() || setting == "default" || setting == "alsa" || setting == "alsa:") {
    return CreateDefaultOrAlsa(setting, "default");
  }
  if (setting.rfind("alsa:", 0) == 0) return CreateDefaultOrAlsa(setting, setting.substr(5));
  if (setting.rfind("pulse", 0) == 0 &&
      (setting.size() == 5 || setting[5] == ':' || setting[5] == '?')) {
    PulseOutputSettings pulse;
    if (!ParsePulseSetting(setting.substr(5), pulse))
      throw EAudioSettingError("Unknown TONEWELL_AUDIO value \"" + setting + "\" (" +
                               kAcceptedForms + "; MS from 0.5 to 100, as 2 or 1.5ms)");
    return CreatePulseWaveOutBackend(pulse);
  }
  return nullptr;
}

}  // namespace tw
