#include "core/ToneAudio.h"

#include "audio/WavePlayers.h"
#include "audio/WaveStorage.h"
#include "core/unit_core_execute_quillmar.h"
#include "platform/WaveOutApi.h"
#include "runtime/Exceptions.h"
#include "runtime/Stream.h"
#include "sound/Selection.h"

namespace tw {

std::int32_t SoundSamples = 0;
std::vector<double> ToneSamples;
std::vector<std::int16_t> PcmSamples;
TAudioPlayer* AudioPlayer = nullptr;
TMemoryStream* WaveMemoryStream = nullptr;
TWaveStreamAdapter* WaveAdapter = nullptr;

void CreateAudioObjects() {
  if (SoundSamples < 0) throw ERangeError("Range check error");
  ToneSamples.assign(static_cast<std::size_t>(SoundSamples), 0.0);
  PcmSamples.assign(static_cast<std::size_t>(SoundSamples), 0);
  // The sound system is chosen here, so a bad TONEWELL_AUDIO is reported
  // before any warrior is loaded.
  SelectWaveOutputFromEnvironment();
  ResetToneCache();
  AudioPlayer = new TAudioPlayer(nullptr);
  WaveMemoryStream = new TMemoryStream();
  WaveAdapter = new TWaveStreamAdapter(WaveMemoryStream, false);
}

void FreeAudioObjects() {
  delete WaveAdapter;
  WaveAdapter = nullptr;
  delete WaveMemoryStream;
  WaveMemoryStream = nullptr;
  PcmSamples = {};
  delete AudioPlayer;
  AudioPlayer = nullptr;
  ToneSamples = {};
  ResetToneCache();
}

}  // namespace tw
