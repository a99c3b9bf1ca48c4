#include "sound/AlsaFormat.h"

#include <cstring>

namespace tw {

namespace {

constexpr uint16_t kFormatTagFloat = 3;

// v times the gain g / 65536, rounded to nearest (halves up).
int64_t Scale(int64_t v, int64_t g) { return (v * g + 32768) >> 16; }

}  // namespace

bool ToAlsaPcmFormat(const WAVEFORMATEX& f, AlsaPcmFormat& out) {
  AlsaPcmFormat p;
  p.channels = f.nChannels;
  p.rate = f.nSamplesPerSec;
  p.bits = f.wBitsPerSample;
  if (f.wFormatTag == WAVE_FORMAT_PCM) {
    switch (f.wBitsPerSample) {
      case 8:
        p.sample = SND_PCM_FORMAT_U8;
        break;
      case 16:
        p.sample = SND_PCM_FORMAT_S16_LE;
        break;
      case 24:
        p.sample = SND_PCM_FORMAT_S24_3LE;
        break;
      case 32:
        p.sample = SND_PCM_FORMAT_S32_LE;
        break;
      default:
        return false;
    }
  } else if (f.wFormatTag == kFormatTagFloat) {
    p.isFloat = true;
    switch (f.wBitsPerSample) {
      case 32:
        p.sample = SND_PCM_FORMAT_FLOAT_LE;
        break;
      case 64:
        p.sample = SND_PCM_FORMAT_FLOAT64_LE;
        break;
      default:
        return false;
    }
  } else {
    return false;
  }
  if (p.channels == 0 || p.channels > 64 || p.rate == 0) return false;
  p.frameBytes = p.channels * (p.bits / 8);
  if (f.nBlockAlign != p.frameBytes) return false;
  out = p;
  return true;
}

std::string DescribeAlsaPcmFormat(const AlsaPcmFormat& f) {
  return std::to_string(f.rate) + " Hz, " + std::to_string(f.channels) + " channels, " +
         std::to_string(f.bits) + (f.isFloat ? "-bit float" : " bits");
}

// Applies a 16-bit volume word to a copy of interleaved samples: the left
// gain to even channels, the right gain to odd ones (a mono stream gets the
// left gain).
void ApplyAlsaGain(const AlsaPcmFormat& f, uint32_t volume, const char* in, std::size_t frames,
                   char* out) {
  const uint32_t left = volume & 0xFFFF, right = volume >> 16;
  // 65535 maps to exactly 65536, so full volume copies the samples unchanged.
  const int64_t q[2] = {left + (left >> 15), right + (right >> 15)};
  const size_t samples = frames * f.channels;
  const size_t bytes = f.bits / 8;
  for (size_t i = 0; i < samples; ++i) {
    const int64_t g = q[(f.channels == 1) ? 0 : (i % f.channels) & 1];
    const char* s = in + i * bytes;
    char* d = out + i * bytes;
    if (f.isFloat) {
      const double gain = static_cast<double>(g) / 65536.0;
      if (f.bits == 32) {
        float v;
        std::memcpy(&v, s, 4);
        v = static_cast<float>(v * gain);
        std::memcpy(d, &v, 4);
      } else {
        double v;
        std::memcpy(&v, s, 8);
        v *= gain;
        std::memcpy(d, &v, 8);
      }
      continue;
    }
    switch (f.bits) {
      case 8: {
        const int64_t v = static_cast<int64_t>(static_cast<uint8_t>(*s)) - 128;
        *d = static_cast<char>(static_cast<uint8_t>(Scale(v, g) + 128));
        break;
      }
      case 16: {
        int16_t v;
        std::memcpy(&v, s, 2);
        v = static_cast<int16_t>(Scale(v, g));
        std::memcpy(d, &v, 2);
        break;
      }
      case 24: {
        const uint8_t* u = reinterpret_cast<const uint8_t*>(s);
        int32_t v = static_cast<int32_t>(u[0] | (u[1] << 8) | (u[2] << 16));
        if (v & 0x800000) v -= 0x1000000;
        v = static_cast<int32_t>(Scale(v, g));
        d[0] = static_cast<char>(v & 0xFF);
        d[1] = static_cast<char>((v >> 8) & 0xFF);
        d[2] = static_cast<char>((v >> 16) & 0xFF);
        break;
      }
      default: {
        int32_t v;
        std::memcpy(&v, s, 4);
        v = static_cast<int32_t>(Scale(v, g));
        std::memcpy(d, &v, 4);
        break;
      }
    }
  }
}

}  // namespace tw
