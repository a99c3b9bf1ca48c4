#include "core/ToneAudio.h"

#include <cstdio>
#include <string>

#include "audio/WavePlayers.h"
#include "audio/WaveStorage.h"
#include "core/unit_core_execute_quillmar.h"
#include "platform/MemoryRoom.h"
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

namespace {

std::string Gibibytes(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f GiB", static_cast<double>(bytes) / (1ull << 30));
  return text;
}

// A tone's memory, taken at once by its first play: the samples as computed
// (8 bytes each) and as played (2), the tone's wave image and the player's
// copy of it (2 each, with room for their streams to grow: 3 each), the
// device's two one-second buffers, and the room of remembered tones.
void RefuseAToneThatCannotFit() {
  const auto samples = static_cast<std::uint64_t>(SoundSamples);
  const std::uint64_t need = 16 * samples + ToneCacheBytes(SoundSamples) + (16ull << 20);
  const std::uint64_t room = MemoryRoom();
  if (need > room) {
    throw EOutOfMemory("Out of memory: a tone of " + std::to_string(SoundSamples) +
                       " samples needs " + Gibibytes(need) + ", and " + Gibibytes(room) +
                       " are to be had");
  }
}

}  // namespace

void CreateAudioObjects() {
  if (SoundSamples < 0) throw ERangeError("Range check error");
  RefuseAToneThatCannotFit();
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
