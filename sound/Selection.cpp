#include "sound/Selection.h"

#include <cstdlib>
#include <mutex>

#include "platform/WaveOutApi.h"
#include "sound/NullCard.h"
#include "sound/WavRecorder.h"

namespace tw {
namespace {

std::mutex gWrapMutex;  // guards gWrap
WaveOutBackendWrapper gWrap;

void InstallSelected(std::unique_ptr<WaveOutBackend> backend) {
  WaveOutBackendWrapper wrap;
  {
    std::lock_guard<std::mutex> lock(gWrapMutex);
    wrap = gWrap;
  }
  UseWaveOutBackend(wrap ? wrap(std::move(backend)) : std::move(backend));
}

}  // namespace

void WrapSelectedWaveOutput(WaveOutBackendWrapper wrap) {
  std::lock_guard<std::mutex> lock(gWrapMutex);
  gWrap = std::move(wrap);
}

void SelectWaveOutput(const std::string& setting) {
  if (setting == "null") {
    InstallSelected(CreateNullWaveOutBackend(NullPacing::kRealTime));
  } else if (setting == "null:fast") {
    InstallSelected(CreateNullWaveOutBackend(NullPacing::kNone));
  } else if (setting.rfind("wav:", 0) == 0 && setting.size() > 4) {
    InstallSelected(CreateWavWaveOutBackend(setting.substr(4)));
  } else if (std::unique_ptr<WaveOutBackend> system = CreateSystemWaveOutput(setting)) {
    InstallSelected(std::move(system));
  } else {
    throw EAudioSettingError("Unknown TONEWELL_AUDIO value \"" + setting + "\" (" +
                             AcceptedWaveOutputForms() + ")");
  }
}

void SelectWaveOutputFromEnvironment() {
  const char* value = std::getenv("TONEWELL_AUDIO");
  SelectWaveOutput(value == nullptr ? std::string() : std::string(value));
}

}  // namespace tw
