#include "audio/WaveUtils.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "runtime/MulDiv.h"

namespace tw {

namespace {

constexpr uint32_t kRates[] = {8000, 11025, 22050, 44100, 48000};

uint32_t ClampToU32(int64_t v) {
  if (v < 0) return 0;
  if (v > UINT32_MAX) return UINT32_MAX;
  return static_cast<uint32_t>(v);
}

int16_t LoadSample16(const uint8_t* p) {
  return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
}

}  // namespace

void FillPCMFormat(WAVEFORMATEX& Format, TPCMChannel Channels, TPCMSamplesPerSec SamplesPerSec,
                   TPCMBitsPerSample BitsPerSample) {
  Format.wFormatTag = WAVE_FORMAT_PCM;
  if (Channels == cMono) Format.nChannels = 1;
  if (Channels == cStereo) Format.nChannels = 2;
  if (SamplesPerSec <= ss48000Hz) Format.nSamplesPerSec = kRates[SamplesPerSec];
  if (BitsPerSample == bs8Bit) Format.wBitsPerSample = 8;
  if (BitsPerSample == bs16Bit) Format.wBitsPerSample = 16;
  Format.nBlockAlign = static_cast<uint16_t>(MulDiv(Format.nChannels, Format.wBitsPerSample, 8));
  Format.nAvgBytesPerSec = static_cast<uint32_t>(Format.nBlockAlign) * Format.nSamplesPerSec;
  Format.cbSize = 0;
}

bool FillPCMFormatFromCode(WAVEFORMATEX& Format, TPCMFormat Code) {
  const int code = Code & 0x7F;
  if (code < 1 || code > 20) return false;
  const int index = code - 1;
  const int kind = index % 4;  // mono 8, stereo 8, mono 16, stereo 16
  FillPCMFormat(Format, (kind & 1) != 0 ? cStereo : cMono,
                static_cast<TPCMSamplesPerSec>(index / 4), (kind & 2) != 0 ? bs16Bit : bs8Bit);
  return true;
}

uint32_t WaveMsToBytes(const WAVEFORMATEX* Format, uint32_t Ms) {
  if (Format == nullptr) return 0;
  uint32_t bytes = ClampToU32(MulDiv64(Format->nAvgBytesPerSec, Ms, 1000));
  if (Format->nBlockAlign > 1) bytes = bytes / Format->nBlockAlign * Format->nBlockAlign;
  return bytes;
}

uint32_t WaveBufferBytes(const WAVEFORMATEX* Format, uint32_t Ms) {
  if (Format == nullptr) return 0;
  int64_t bytes = MulDiv64(Ms, Format->nAvgBytesPerSec, 1000);
  if (Format->nBlockAlign > 1 && bytes % Format->nBlockAlign != 0) {
    bytes += Format->nBlockAlign - bytes % Format->nBlockAlign;
  }
  return ClampToU32(bytes);
}

uint32_t WaveBytesToMs(const WAVEFORMATEX* Format, uint32_t Bytes) {
  if (Format == nullptr || Format->nAvgBytesPerSec == 0) return 0;
  return ClampToU32(MulDiv64(1000, Bytes, Format->nAvgBytesPerSec));
}

bool IsSamplePCM(const WAVEFORMATEX* Format) {
  return Format != nullptr && Format->wFormatTag == WAVE_FORMAT_PCM &&
         (Format->wBitsPerSample == 8 || Format->wBitsPerSample == 16);
}

int GetPeakLevel(const void* Data, uint32_t Count, const WAVEFORMATEX* Format) {
  if (!IsSamplePCM(Format)) return -1;
  if (Data == nullptr) Count = 0;
  const auto* bytes = static_cast<const uint8_t*>(Data);
  if (Format->wBitsPerSample == 8) {
    int peak = 0;
    for (uint32_t i = 0; i < Count; ++i) peak = std::max(peak, std::abs(bytes[i] - 128));
    // 0 lies 128 below the midpoint, 255 only 127 above: both are full scale.
    return std::min(100, peak * 100 / 127);
  }
  int peak = 0;
  for (uint32_t i = 0; i + 1 < Count; i += 2)
    peak = std::max(peak, std::abs(LoadSample16(bytes + i)));
  return std::min(100, peak * 100 / 32767);
}

bool FillSilence(void* Data, uint32_t Count, const WAVEFORMATEX* Format) {
  if (!IsSamplePCM(Format)) return false;
  if (Data != nullptr && Count > 0) {
    std::memset(Data, Format->wBitsPerSample == 8 ? 128 : 0, Count);
  }
  return true;
}

}  // namespace tw
