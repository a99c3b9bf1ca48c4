#include "sound/PulseFormat.h"

#include <algorithm>

namespace tw {
namespace {
constexpr uint16_t kFormatTagFloat = 3;
}

size_t FrameBytes(const pa_sample_spec* f) {
  const size_t sample = f->format == PA_SAMPLE_U8      ? 1
                        : f->format == PA_SAMPLE_S16LE ? 2
                        : f->format == PA_SAMPLE_S24LE ? 3
                                                       : 4;
  return sample * f->channels;
}

uint64_t UsecToBytes(pa_usec_t usec, const pa_sample_spec* f) {
  return usec * f->rate / PA_USEC_PER_SEC * FrameBytes(f);
}

pa_usec_t BytesToUsec(uint64_t bytes, const pa_sample_spec* f) {
  return bytes / FrameBytes(f) * PA_USEC_PER_SEC / f->rate;
}

bool ToSampleFormat(const WAVEFORMATEX& f, pa_sample_spec& sampleFormat) {
  sampleFormat.channels = static_cast<uint8_t>(std::min<unsigned>(f.nChannels, 255));
  sampleFormat.rate = f.nSamplesPerSec;
  if (f.wFormatTag == WAVE_FORMAT_PCM) {
    switch (f.wBitsPerSample) {
      case 8:
        sampleFormat.format = PA_SAMPLE_U8;
        break;
      case 16:
        sampleFormat.format = PA_SAMPLE_S16LE;
        break;
      case 24:
        sampleFormat.format = PA_SAMPLE_S24LE;
        break;
      case 32:
        sampleFormat.format = PA_SAMPLE_S32LE;
        break;
      default:
        return false;
    }
  } else if (f.wFormatTag == kFormatTagFloat && f.wBitsPerSample == 32) {
    sampleFormat.format = PA_SAMPLE_FLOAT32LE;
  } else {
    return false;
  }
  if (f.nChannels == 0 || f.nChannels > PA_CHANNELS_MAX) return false;
  if (f.nBlockAlign != f.nChannels * (f.wBitsPerSample / 8)) return false;
  return sampleFormat.rate > 0 && sampleFormat.rate <= PA_RATE_MAX;
}

bool SameSampleFormat(const pa_sample_spec& a, const pa_sample_spec& b) {
  return a.format == b.format && a.rate == b.rate && a.channels == b.channels;
}

}  // namespace tw
