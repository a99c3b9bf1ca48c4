// The sound systems of the Linux build: PipeWire, the desktop's sound server
// (PulseAudio's protocol) and ALSA.
#include <chrono>

#include "platform/WaveOutApi.h"
#include "sound/Alsa.h"
#include "sound/PipeWire.h"
#include "sound/Pulse.h"
#include "sound/Selection.h"
#include "sound/ServerProbe.h"

namespace tw {
namespace {

const char kAcceptedForms[] =
    "accepted: unset, \"\", default, pipewire, pipewire:TARGET, pipewire?latency=L, "
    "pipewire:TARGET?latency=L, pulse, pulse:SINK, pulse?latency=MS, pulse:SINK?latency=MS, "
    "alsa, alsa:NAME, null, null:fast, wav:PATH";

// How long the default output waits for each server's first answer.
constexpr std::chrono::milliseconds kProbeWait{1500};

// Unset, "" and "default": PipeWire through its own library when a daemon
// answers, else a sound server speaking PulseAudio's protocol, else ALSA's
// "default". A server that takes the connection but does not answer (a
// frozen one) is reported as such: ALSA's default would reach the same
// server through its plugin and wait on it without a bound.
std::unique_ptr<WaveOutBackend> CreateDefault() {
  std::unique_ptr<WaveOutBackend> backend;
  std::string why;
  for (auto probe : {&ProbePipeWire, &ProbePulse}) {
    switch (probe(kProbeWait, backend, why)) {
      case ServerProbe::kAnswered:
        return backend;
      case ServerProbe::kNotAnswering:
        return CreateUnansweringWaveOutBackend(why);
      case ServerProbe::kAbsent:
        break;
    }
  }
  return CreateAlsaWaveOutBackend("default");
}

[[noreturn]] void Refuse(const std::string& setting, const char* detail) {
  throw EAudioSettingError("Unknown TONEWELL_AUDIO value \"" + setting + "\" (" + kAcceptedForms +
                           detail + ")");
}

// Whether `setting` is `name` alone or followed by ':' or '?'.
bool Names(const std::string& setting, const std::string& name) {
  return setting.rfind(name, 0) == 0 &&
         (setting.size() == name.size() || setting[name.size()] == ':' ||
          setting[name.size()] == '?');
}

}  // namespace

const char* AcceptedWaveOutputForms() { return kAcceptedForms; }

std::unique_ptr<WaveOutBackend> CreateSystemWaveOutput(const std::string& setting) {
  if (setting.empty() || setting == "default") return CreateDefault();
  // "alsa:" with no name is the same as "alsa": the PCM "default".
  if (setting == "alsa" || setting == "alsa:") return CreateAlsaWaveOutBackend("default");
  if (setting.rfind("alsa:", 0) == 0) return CreateAlsaWaveOutBackend(setting.substr(5));
  if (Names(setting, "pulse")) {
    PulseOutputSettings pulse;
    if (!ParsePulseSetting(setting.substr(5), pulse))
      Refuse(setting, "; MS from 0.5 to 100, as 2 or 1.5ms");
    return CreatePulseWaveOutBackend(pulse);
  }
  if (Names(setting, "pipewire")) {
    PipeWireOutputSettings pipewire;
    if (!ParsePipeWireSetting(setting.substr(8), pipewire))
      Refuse(setting, "; L as FRAMES/RATE, 16 to 8192 frames, or MS from 0.5 to 100");
    return CreatePipeWireWaveOutBackend(pipewire);
  }
  return nullptr;
}

}  // namespace tw
