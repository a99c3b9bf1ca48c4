// The one sound system the wave output functions open new devices on.

#include <mutex>

#include "platform/WaveOutApi.h"
#include "platform/WaveOutInternal.h"

namespace tw {
namespace {

std::mutex gMutex;  // guards gBackend
std::shared_ptr<WaveOutBackend> gBackend;

}  // namespace

void UseWaveOutBackend(std::unique_ptr<WaveOutBackend> backend) {
  std::shared_ptr<WaveOutBackend> old;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    old = std::move(gBackend);
    gBackend = std::move(backend);
  }
  // `old` goes here, outside the lock: a paced card joins its clock thread.
}

std::shared_ptr<WaveOutBackend> CurrentWaveOutBackend() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gBackend;
}

}  // namespace tw
