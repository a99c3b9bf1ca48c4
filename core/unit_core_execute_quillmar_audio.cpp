#include "core/unit_core_execute_quillmar.h"
#include "runtime/Exceptions.h"

namespace tw {

std::int32_t SoundSamples = 0;
std::vector<double> ToneSamples;
std::vector<std::int16_t> PcmSamples;

void CreateAudioObjects() {
  if (SoundSamples < 0) throw ERangeError("Range check error");
  ToneSamples.assign(static_cast<std::size_t>(SoundSamples), 0.0);
  PcmSamples.assign(static_cast<std::size_t>(SoundSamples), 0);
}

void FreeAudioObjects() {
  PcmSamples = {};
  ToneSamples = {};
}

}  // namespace tw
