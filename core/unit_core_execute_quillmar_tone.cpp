// The tone of an executed instruction: synthesis, conversion to 16-bit PCM,
// and the synchronous play through the program's wave container and player.

#include <cmath>
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

void ComputeToneSamples(const CoreCell& Cell, double* Samples, int32_t Count) {
  if (Count == 1) throw EInvalidOp("Invalid floating point operation");
  const uint16_t word = Cell.InstructionWord;
  // The partials are formed in extended precision and each one is added into
  // the double sample, as the tone has always been computed; a partial
  // rounded to double first would move a few samples by one step.
  using Extended = long double;
  constexpr Extended kPiX = 3.14159265358979323846264338327950288L;
  constexpr Extended kScale = 32767;
  const Extended op = (word >> 11) & 0x1F;
  const Extended md = (word >> 8) & 0x7;
  const Extended am = word & 0x7;
  const Extended bm = (word >> 3) & 0x1F;
  const Extended ma = static_cast<uint16_t>(Cell.ANumber) % 100;
  const Extended mb = static_cast<uint16_t>(Cell.BNumber) % 100;
  const double last = static_cast<double>(Count) - 1.0;
  for (int32_t i = 0; i < Count; ++i) {
    const double t = static_cast<double>(i) / last;
    const Extended theta = kPiX * t * 2;
    double s = 0;
    s = static_cast<double>(s + std::cos(theta * op * 30) * kScale / 6);
    s = static_cast<double>(s + std::cos(theta * md * 50) * kScale / 6);
    s = static_cast<double>(s + std::cos(theta * am * 80) * kScale / 6);
    s = static_cast<double>(s + std::cos(theta * bm * 120) * kScale / 6);
    s = static_cast<double>(s + std::cos(std::cos(theta * ma) * (ma * t * kPiX * 2)) * kScale / 6);
    s = static_cast<double>(s + std::sin(std::sin(theta * mb) * (mb * t * kPiX * 2)) * kScale / 6);
    Samples[i] = s;
  }
}

void ConvertToneSamples(const double* Samples, int16_t* Pcm, int32_t Count) {
  for (int32_t i = 0; i < Count; ++i) {
    // nearbyint follows the default rounding mode: to nearest, halves to even.
    const double r = std::nearbyint(Samples[i]);
    Pcm[i] = r < -32768.0  ? int16_t{-32768}
             : r > 32767.0 ? int16_t{32767}
                           : static_cast<int16_t>(r);
  }
}

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

  ComputeToneSamples(cell, ToneSamples.data(), n);
  ConvertToneSamples(ToneSamples.data(), PcmSamples.data(), n);
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
