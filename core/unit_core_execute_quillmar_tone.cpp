// The tone of an executed instruction: synthesis, conversion to 16-bit PCM,
// and the synchronous play through the program's wave container and player.

#include "core/unit_core_execute_quillmar_tone.h"

#include <cstring>
#include <unordered_map>

#include "audio/WavePlayers.h"
#include "audio/WaveStorage.h"
#include "core/unit_core_execute_quillmar.h"
#include "core/unit_core_execute_quillmar_audio.h"
#include "runtime/Exceptions.h"

namespace tw {

namespace {

// Synthesized tones by (instruction word, A mod 100, B mod 100) for the
// current SoundSamples. A battle repeats few distinct instructions many
// times; the cache stops growing at kToneCacheBytes so a battle of many
// distinct instructions costs bounded memory (the rest are computed anew).
constexpr std::size_t kToneCacheBytes = 64u << 20;

struct ToneCache {
  int32_t Samples = -1;
  std::size_t Bytes = 0;
  std::unordered_map<uint32_t, std::vector<int16_t>> Tones;

  void Reset(int32_t N) {
    Tones.clear();
    Bytes = 0;
    Samples = N;
  }
};

ToneCache& Cache() {
  static ToneCache cache;
  return cache;
}

uint32_t ToneKey(const CoreCell& Cell) {
  const uint32_t a = static_cast<uint16_t>(Cell.ANumber) % 100u;
  const uint32_t b = static_cast<uint16_t>(Cell.BNumber) % 100u;
  return (static_cast<uint32_t>(Cell.InstructionWord) << 14) | (a << 7) | b;
}

// Rewrites the container with PcmSamples and plays it to its end.
void PlayPcmSamples() {
  const int32_t n = static_cast<int32_t>(PcmSamples.size());
  WaveAdapter->BeginRewritePCM(16);
  WaveAdapter->Write(PcmSamples.data(), n * 2);
  WaveAdapter->EndRewrite();
  AudioPlayer->SetWave(WaveAdapter);
  AudioPlayer->SetActive(true);
  AudioPlayer->WaitUntilOpened();
  AudioPlayer->WaitUntilClosed();
}

}  // namespace

void PlayTone(const std::vector<double>& Samples) {
  const int32_t n = static_cast<int32_t>(Samples.size());
  if (PcmSamples.size() != Samples.size()) PcmSamples.resize(Samples.size());
  ConvertToneSamples(Samples.data(), PcmSamples.data(), n);
  PlayPcmSamples();
}

std::size_t CachedToneCount() { return Cache().Tones.size(); }

void SynthesizeTone(const CoreCell& cell) {
  const int32_t n = SoundSamples;
  if (ToneSamples.size() != static_cast<std::size_t>(n)) ToneSamples.resize(n);
  if (PcmSamples.size() != static_cast<std::size_t>(n)) PcmSamples.resize(n);

  ToneCache& cache = Cache();
  if (cache.Samples != n) cache.Reset(n);
  const uint32_t key = ToneKey(cell);
  if (auto found = cache.Tones.find(key); found != cache.Tones.end()) {
    // The same PCM the synthesis below would produce, computed earlier.
    if (n > 0) std::memcpy(PcmSamples.data(), found->second.data(), n * sizeof(int16_t));
    PlayPcmSamples();
    return;
  }

  ComputeTonePcm(cell, ToneSamples.data(), PcmSamples.data(), n);
  const std::size_t bytes = static_cast<std::size_t>(n) * sizeof(int16_t) + 64;
  if (cache.Bytes + bytes <= kToneCacheBytes) {
    cache.Tones.emplace(key, PcmSamples);
    cache.Bytes += bytes;
  }
  PlayPcmSamples();
}

// Forgets every remembered tone (the audio objects are being freed).
void ResetToneCache() { Cache().Reset(-1); }

}  // namespace tw
