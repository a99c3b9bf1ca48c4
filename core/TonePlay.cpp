// The tone of an executed instruction: synthesis, conversion to 16-bit PCM,
// and the synchronous play through the program's wave container and player.

#include <cstring>

#include "audio/WavePlayers.h"
#include "audio/WaveStorage.h"
#include "core/ToneAudio.h"
#include "core/ToneCache.h"
#include "core/ToneSynthesis.h"
#include "core/unit_core_execute_quillmar.h"
#include "runtime/Exceptions.h"

namespace tw {

namespace {

// Remembered tones of the current SoundSamples: at most 64 MiB of samples
// and 65536 tones (a hash index of 1 MiB), reserved by the first tone of a
// battle; a battle of more distinct tones synthesizes the rest each time.
ToneCache& Cache() {
  static ToneCache cache(64u << 20, 1u << 16);
  return cache;
}

bool CacheEnabled = true;

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

std::size_t CachedToneCount() { return Cache().Count(); }

void SynthesizeTone(const CoreCell& cell) {
  const int32_t n = SoundSamples;
  if (ToneSamples.size() != static_cast<std::size_t>(n)) ToneSamples.resize(n);
  if (PcmSamples.size() != static_cast<std::size_t>(n)) PcmSamples.resize(n);

  if (!CacheEnabled) {
    ComputeTonePcm(cell, ToneSamples.data(), PcmSamples.data(), n);
    PlayPcmSamples();
    return;
  }
  ToneCache& cache = Cache();
  if (n != 1) cache.Prepare(n);  // N = 1 fails in the synthesis below
  const uint32_t key = ToneCache::Key(cell);
  if (const int16_t* found = cache.Find(key)) {
    // The same samples the synthesis below would produce, computed earlier.
    std::memcpy(PcmSamples.data(), found, n * sizeof(int16_t));
    PlayPcmSamples();
    return;
  }
  ComputeTonePcm(cell, ToneSamples.data(), PcmSamples.data(), n);
  cache.Insert(key, PcmSamples.data());
  PlayPcmSamples();
}

// Forgets every remembered tone and frees their memory (the audio objects
// are being created or freed).
void ResetToneCache() { Cache().Release(); }

std::size_t ToneCacheBytes(std::int32_t samples) { return Cache().ReservedBytes(samples); }

void EnableToneCache(bool enabled) { CacheEnabled = enabled; }

}  // namespace tw
