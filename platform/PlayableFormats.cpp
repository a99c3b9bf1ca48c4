#include "platform/PlayableFormats.h"

namespace tw {

MMRESULT CheckPlayableFormat(const WAVEFORMATEX& f) {
  const uint16_t bits = f.wBitsPerSample;
  bool bitsOk = false;
  if (f.wFormatTag == WAVE_FORMAT_PCM) {
    bitsOk = bits == 8 || bits == 16 || bits == 24 || bits == 32;
  } else if (f.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
    bitsOk = bits == 32 || bits == 64;
  }
  if (!bitsOk) return WAVERR_BADFORMAT;
  if (f.nChannels < 1 || f.nChannels > 8) return WAVERR_BADFORMAT;
  if (f.nSamplesPerSec < 100 || f.nSamplesPerSec > 768000) return WAVERR_BADFORMAT;
  const uint32_t block = static_cast<uint32_t>(f.nChannels) * bits / 8;
  if (f.nBlockAlign != block) return WAVERR_BADFORMAT;
  if (f.nAvgBytesPerSec != f.nSamplesPerSec * block) return WAVERR_BADFORMAT;
  return MMSYSERR_NOERROR;
}

uint32_t StandardFormatBit(const WAVEFORMATEX& f) {
  if (f.wFormatTag != WAVE_FORMAT_PCM || CheckPlayableFormat(f) != MMSYSERR_NOERROR) return 0;
  int rateIndex;
  switch (f.nSamplesPerSec) {
    case 11025:
      rateIndex = 0;
      break;
    case 22050:
      rateIndex = 1;
      break;
    case 44100:
      rateIndex = 2;
      break;
    default:
      return 0;
  }
  if (f.nChannels > 2 || (f.wBitsPerSample != 8 && f.wBitsPerSample != 16)) return 0;
  const int within = (f.wBitsPerSample == 16 ? 2 : 0) + (f.nChannels == 2 ? 1 : 0);
  return 1u << (rateIndex * 4 + within);
}

uint32_t PlayCount(const WAVEHDR& header) {
  const uint32_t loop = WHDR_BEGINLOOP | WHDR_ENDLOOP;
  if ((header.dwFlags & loop) == loop && header.dwLoops > 1) return header.dwLoops;
  return 1;
}

uint64_t PlayBytes(const WAVEHDR& header) {
  return static_cast<uint64_t>(header.dwBufferLength) * PlayCount(header);
}

std::string DescribeFormat(const WAVEFORMATEX& f) {
  std::string text = std::to_string(f.nSamplesPerSec) + " Hz, " + std::to_string(f.nChannels) +
                     (f.nChannels == 1 ? " channel, " : " channels, ") +
                     std::to_string(f.wBitsPerSample) + "-bit ";
  if (f.wFormatTag == WAVE_FORMAT_PCM) return text + "PCM";
  if (f.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) return text + "float";
  return text + "format tag " + std::to_string(f.wFormatTag);
}

std::string UnplayableFormatText(const std::string& who, const WAVEFORMATEX& f) {
  return "The " + who + " cannot play " + DescribeFormat(f) + " (block align " +
         std::to_string(f.nBlockAlign) + ", " + std::to_string(f.nAvgBytesPerSec) +
         " bytes per second); it plays 8-, 16-, 24- or 32-bit PCM and 32- or 64-bit float, "
         "1 to 8 channels, 100 to 768000 Hz";
}

bool SameWaveFormat(const WAVEFORMATEX& a, const WAVEFORMATEX& b) {
  return a.wFormatTag == b.wFormatTag && a.nChannels == b.nChannels &&
         a.nSamplesPerSec == b.nSamplesPerSec && a.nAvgBytesPerSec == b.nAvgBytesPerSec &&
         a.nBlockAlign == b.nBlockAlign && a.wBitsPerSample == b.wBitsPerSample;
}

}  // namespace tw
