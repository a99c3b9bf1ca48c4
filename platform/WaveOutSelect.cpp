#include <cstdlib>
#include <mutex>

#include "platform/WaveOutAlsa.h"
#include "platform/WaveOutApi.h"
#include "platform/WaveOutInternal.h"
#include "platform/WaveOutNull.h"
#include "platform/WaveOutPulse.h"
#include "platform/WaveOutWav.h"

namespace tw {
namespace {

std::mutex gMutex;  // guards gBackend
std::shared_ptr<WaveOutBackend> gBackend;
std::mutex gSelectMutex;  // one selection from the environment at a time

const char kAcceptedForms[] =
    "accepted: unset, \"\", default, alsa, alsa:NAME, pulse, pulse:SINK, pulse?latency=MS, "
    "pulse:SINK?latency=MS, null, null:fast, wav:PATH";

// The system's own sound output. "" and "default" mean the desktop's sound
// server when one answers (as other players choose), else the ALSA PCM
// "default"; "alsa" and "alsa:NAME" always mean ALSA.
std::unique_ptr<WaveOutBackend> CreateSystemWaveOutput(const std::string& setting,
                                                       const std::string& pcmName) {
  if (setting.empty() || setting == "default") {
    if (auto server = ConnectPulseWaveOutBackend({}, std::chrono::milliseconds(1500)))
      return server;
  }
  return CreateAlsaWaveOutBackend(pcmName);
}

void Install(std::shared_ptr<WaveOutBackend> backend) {
  std::shared_ptr<WaveOutBackend> old;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    old = std::move(gBackend);
    gBackend = std::move(backend);
  }
  // `old` goes here, outside the lock: a paced card joins its clock thread.
}

std::mutex gWrapMutex;  // guards gWrap
WaveOutBackendWrapper gWrap;

void InstallSelected(std::unique_ptr<WaveOutBackend> backend) {
  WaveOutBackendWrapper wrap;
  {
    std::lock_guard<std::mutex> lock(gWrapMutex);
    wrap = gWrap;
  }
  Install(wrap ? wrap(std::move(backend)) : std::move(backend));
}

}  // namespace

void WrapSelectedWaveOutput(WaveOutBackendWrapper wrap) {
  std::lock_guard<std::mutex> lock(gWrapMutex);
  gWrap = std::move(wrap);
}

void SelectWaveOutput(const std::string& setting) {
  // "alsa:" with no name is the same as "alsa": the PCM "default".
  if (setting.empty() || setting == "default" || setting == "alsa" || setting == "alsa:") {
    InstallSelected(CreateSystemWaveOutput(setting, "default"));
  } else if (setting.rfind("alsa:", 0) == 0) {
    InstallSelected(CreateSystemWaveOutput(setting, setting.substr(5)));
  } else if (setting.rfind("pulse", 0) == 0 &&
             (setting.size() == 5 || setting[5] == ':' || setting[5] == '?')) {
    PulseOutputSettings pulse;
    if (!ParsePulseSetting(setting.substr(5), pulse))
      throw EAudioSettingError("Unknown TONEWELL_AUDIO value \"" + setting + "\" (" +
                               kAcceptedForms + "; MS from 0.5 to 100, as 2 or 1.5ms)");
    InstallSelected(CreatePulseWaveOutBackend(pulse));
  } else if (setting == "null") {
    InstallSelected(CreateNullWaveOutBackend(NullPacing::kRealTime));
  } else if (setting == "null:fast") {
    InstallSelected(CreateNullWaveOutBackend(NullPacing::kNone));
  } else if (setting.rfind("wav:", 0) == 0 && setting.size() > 4) {
    InstallSelected(CreateWavWaveOutBackend(setting.substr(4)));
  } else {
    throw EAudioSettingError("Unknown TONEWELL_AUDIO value \"" + setting + "\" (" + kAcceptedForms +
                             ")");
  }
}

void SelectWaveOutputFromEnvironment() {
  const char* value = std::getenv("TONEWELL_AUDIO");
  SelectWaveOutput(value == nullptr ? std::string() : std::string(value));
}

void UseWaveOutBackend(std::unique_ptr<WaveOutBackend> backend) { Install(std::move(backend)); }

std::shared_ptr<WaveOutBackend> SelectedWaveOutBackend() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gBackend;
}

std::shared_ptr<WaveOutBackend> CurrentWaveOutBackend() {
  if (auto backend = SelectedWaveOutBackend()) return backend;
  std::lock_guard<std::mutex> selecting(gSelectMutex);
  if (auto backend = SelectedWaveOutBackend()) return backend;
  SelectWaveOutputFromEnvironment();
  return SelectedWaveOutBackend();
}

}  // namespace tw
