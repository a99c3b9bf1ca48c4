// Sample editing routines of WaveUtils: reverse, scale, mix.

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "audio/WaveUtils.h"

namespace tw {

namespace {

int16_t Load16(const uint8_t* p) {
  return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
}

void Store16(uint8_t* p, int v) {
  p[0] = static_cast<uint8_t>(v & 0xFF);
  p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}

// v + v * Percent / 100 with the division truncating toward zero.
int64_t Scaled(int64_t v, int Percent) { return v + v * Percent / 100; }

}  // namespace

bool ReverseSamples(void* Data, uint32_t Count, const WAVEFORMATEX* Format) {
  if (!IsSamplePCM(Format)) return false;
  if (Data == nullptr || Count == 0) return true;
  auto* bytes = static_cast<uint8_t*>(Data);
  if (Format->wBitsPerSample == 8) {
    std::reverse(bytes, bytes + Count);
    return true;
  }
  // A trailing odd byte is not part of a sample and stays where it is.
  const uint32_t samples = Count / 2;
  if (samples < 2) return true;
  for (uint32_t i = 0, j = samples - 1; i < j; ++i, --j) {
    std::swap(bytes[2 * i], bytes[2 * j]);
    std::swap(bytes[2 * i + 1], bytes[2 * j + 1]);
  }
  return true;
}

bool ScaleSamples(void* Data, uint32_t Count, const WAVEFORMATEX* Format, int Percent) {
  if (!IsSamplePCM(Format)) return false;
  if (Data == nullptr) return true;
  auto* bytes = static_cast<uint8_t*>(Data);
  if (Format->wBitsPerSample == 8) {
    for (uint32_t i = 0; i < Count; ++i) {
      const int64_t v = 128 + Scaled(static_cast<int64_t>(bytes[i]) - 128, Percent);
      bytes[i] = static_cast<uint8_t>(std::clamp<int64_t>(v, 0, 255));
    }
    return true;
  }
  for (uint32_t i = 0; i + 1 < Count; i += 2) {
    const int64_t v = Scaled(Load16(bytes + i), Percent);
    Store16(bytes + i, static_cast<int>(std::clamp<int64_t>(v, -32767, 32767)));
  }
  return true;
}

bool MixSamples(const TMixSource* Sources, int SourceCount, const WAVEFORMATEX* Format,
                uint32_t OutputCount, void* Output) {
  if (!IsSamplePCM(Format) || SourceCount <= 0 || Sources == nullptr) return false;
  if (Output == nullptr || OutputCount == 0) return true;
  auto* out = static_cast<uint8_t*>(Output);
  const int width = Format->wBitsPerSample / 8;
  const int64_t silence = width == 1 ? 128 : 0;
  for (uint32_t pos = 0; pos + width <= OutputCount; pos += width) {
    int64_t sum = 0;
    for (int s = 0; s < SourceCount; ++s) {
      const TMixSource& src = Sources[s];
      if (src.Data == nullptr || pos + width > src.Count) {
        sum += silence;
      } else if (width == 1) {
        sum += static_cast<const uint8_t*>(src.Data)[pos];
      } else {
        sum += Load16(static_cast<const uint8_t*>(src.Data) + pos);
      }
    }
    const int64_t v = sum / SourceCount;
    if (width == 1) {
      out[pos] = static_cast<uint8_t>(v);
    } else {
      Store16(out + pos, static_cast<int>(v));
    }
  }
  return true;
}

}  // namespace tw
