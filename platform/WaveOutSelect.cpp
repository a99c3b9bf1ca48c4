#include <cstdlib>
#include <mutex>

#include "platform/WaveOutApi.h"
#include "platform/WaveOutInternal.h"
#include "platform/WaveOutNull.h"
#include "platform/WaveOutWav.h"

namespace tw {
namespace {

std::mutex gMutex;  // guards gBackend
std::shared_ptr<WaveOutBackend> gBackend;
std::mutex gSelectMutex;  // one selection from the environment at a time

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
