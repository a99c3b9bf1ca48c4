#pragma once
// The wave formats the ALSA output plays, in ALSA's terms, and the software
// volume it applies to a copy of the samples.

#include <alsa/asoundlib.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/mmsystem.h"

namespace tw {

// What a PCM must be configured with for one wave format.
struct AlsaPcmFormat {
  snd_pcm_format_t sample = SND_PCM_FORMAT_UNKNOWN;
  unsigned channels = 0;
  unsigned rate = 0;
  unsigned bits = 0;
  bool isFloat = false;
  unsigned frameBytes = 0;

  bool operator==(const AlsaPcmFormat& o) const {
    return sample == o.sample && channels == o.channels && rate == o.rate;
  }
};

// PCM (tag 1) with 8, 16, 24 or 32 bits and IEEE float (tag 3) with 32 or
// 64 bits, 1 to 64 channels, a block alignment of one frame. False for
// anything else.
bool ToAlsaPcmFormat(const WAVEFORMATEX& f, AlsaPcmFormat& out);

// "44100 Hz, 2 channels, 16 bits", for messages.
std::string DescribeAlsaPcmFormat(const AlsaPcmFormat& f);

// Applies a volume word (low 16 bits left, high 16 bits right; 0xFFFF is
// full) to `frames` interleaved frames from `in` into `out`: the left gain
// on even channels, the right gain on odd ones (a mono stream gets the left
// gain), rounded to nearest. Full volume copies the samples unchanged.
void ApplyAlsaGain(const AlsaPcmFormat& f, uint32_t volume, const char* in, std::size_t frames,
                   char* out);

}  // namespace tw
