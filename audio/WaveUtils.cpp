#include "audio/WaveUtils.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <utility>

#include "runtime/MulDiv.h"
#include "runtime/Stream.h"

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

// ---- TWaveFormatBlock ----

TWaveFormatBlock::~TWaveFormatBlock() { delete[] FBytes; }

TWaveFormatBlock::TWaveFormatBlock(TWaveFormatBlock&& Other) noexcept
    : FBytes(std::exchange(Other.FBytes, nullptr)),
      FSize(std::exchange(Other.FSize, 0)),
      FCapacity(std::exchange(Other.FCapacity, 0)) {}

TWaveFormatBlock& TWaveFormatBlock::operator=(TWaveFormatBlock&& Other) noexcept {
  if (this != &Other) {
    delete[] FBytes;
    FBytes = std::exchange(Other.FBytes, nullptr);
    FSize = std::exchange(Other.FSize, 0);
    FCapacity = std::exchange(Other.FCapacity, 0);
  }
  return *this;
}

uint8_t* TWaveFormatBlock::Allocate(uint32_t Size) {
  Size = std::max<uint32_t>(Size, sizeof(WAVEFORMATEX));
  if (Size > FCapacity) {
    auto* bytes = new (std::nothrow) uint8_t[Size];
    if (bytes == nullptr) {
      FSize = 0;
      return nullptr;
    }
    delete[] FBytes;
    FBytes = bytes;
    FCapacity = Size;
  }
  std::memset(FBytes, 0, Size);
  FSize = Size;
  return FBytes;
}

bool TWaveFormatBlock::Assign(const WAVEFORMATEX* Format) {
  if (Format == nullptr) return false;
  const uint32_t size = sizeof(WAVEFORMATEX) + Format->cbSize;
  if (FBytes != nullptr && reinterpret_cast<const uint8_t*>(Format) == FBytes) return true;
  uint8_t* bytes = Allocate(size);
  if (bytes == nullptr) return false;
  std::memcpy(bytes, Format, size);
  return true;
}

// ---- RIFF/WAVE header ----

namespace {

constexpr FOURCC kWave = MakeFourCC('W', 'A', 'V', 'E');
constexpr FOURCC kFmt = MakeFourCC('f', 'm', 't', ' ');
constexpr FOURCC kData = MakeFourCC('d', 'a', 't', 'a');

class HandleCloser {
 public:
  explicit HandleCloser(HMMIO h) : FHandle(h) {}
  ~HandleCloser() { mmioClose(FHandle, 0); }
  HandleCloser(const HandleCloser&) = delete;
  HandleCloser& operator=(const HandleCloser&) = delete;

 private:
  HMMIO FHandle;
};

}  // namespace

bool ReadWaveHeader(TStream& Stream, TWaveFormatBlock& Format, uint32_t& DataSize,
                    uint32_t& DataOffset) {
  int64_t streamSize = 0;
  try {
    streamSize = Stream.Size();
  } catch (const std::exception&) {
    return false;
  }
  if (streamSize <= 0) return false;
  HMMIO h = OpenStreamIO(&Stream);
  if (h == nullptr) return false;
  HandleCloser closer(h);

  MMCKINFO riff{};
  riff.fccType = kWave;
  if (mmioDescend(h, &riff, nullptr, MMIO_FINDRIFF) != MMSYSERR_NOERROR) return false;

  Format.reset();
  MMCKINFO fmt{};
  fmt.ckid = kFmt;
  if (mmioDescend(h, &fmt, &riff, MMIO_FINDCHUNK) != MMSYSERR_NOERROR || fmt.cksize < 14) {
    return false;
  }
  // A chunk claiming more bytes than the stream holds cannot be read in
  // full; refusing it here also keeps a forged size from reserving memory.
  if (int64_t{fmt.dwDataOffset} + fmt.cksize > streamSize) return false;
  // The record is zero-filled up to 18 bytes (a 14- or 16-byte chunk has no
  // cbSize) and up to 18 + cbSize, so users of the record may always rely on
  // that many bytes being there.
  uint8_t* bytes = Format.Allocate(fmt.cksize);
  if (bytes == nullptr) return false;
  if (mmioRead(h, bytes, fmt.cksize) != fmt.cksize) {
    Format.reset();
    return false;
  }
  const uint32_t recordSize = sizeof(WAVEFORMATEX) + Format->cbSize;
  if (recordSize > Format.size()) {
    TWaveFormatBlock grown;
    uint8_t* big = grown.Allocate(recordSize);
    if (big == nullptr) {
      Format.reset();
      return false;
    }
    std::memcpy(big, bytes, fmt.cksize);
    Format = std::move(grown);
  }

  const int64_t afterFmt = int64_t{fmt.dwDataOffset} + fmt.cksize + (fmt.cksize & 1);
  MMCKINFO data{};
  data.ckid = kData;
  if (mmioSeek(h, afterFmt, MMIO_SEEK_SET) != afterFmt ||
      mmioDescend(h, &data, &riff, MMIO_FINDCHUNK) != MMSYSERR_NOERROR) {
    Format.reset();
    return false;
  }
  DataSize = data.cksize;
  DataOffset = data.dwDataOffset;
  return true;
}

bool WriteWaveHeader(HMMIO Handle, const WAVEFORMATEX* Format, MMCKINFO& Riff, MMCKINFO& Data) {
  if (Handle == nullptr || Format == nullptr) return false;
  if (mmioSeek(Handle, 0, MMIO_SEEK_SET) != 0) return false;
  Riff = MMCKINFO{};
  Riff.fccType = kWave;
  if (mmioCreateChunk(Handle, &Riff, MMIO_CREATERIFF) != MMSYSERR_NOERROR) return false;
  MMCKINFO fmt{};
  fmt.ckid = kFmt;
  if (mmioCreateChunk(Handle, &fmt, 0) != MMSYSERR_NOERROR) return false;
  const int64_t size = int64_t{sizeof(WAVEFORMATEX)} + Format->cbSize;
  if (mmioWrite(Handle, Format, size) != size) return false;
  if (mmioAscend(Handle, &fmt, 0) != MMSYSERR_NOERROR) return false;
  Data = MMCKINFO{};
  Data.ckid = kData;
  return mmioCreateChunk(Handle, &Data, 0) == MMSYSERR_NOERROR;
}

HMMIO CreateWaveOnStream(TStream& Stream, const WAVEFORMATEX* Format, MMCKINFO& Riff,
                         MMCKINFO& Data) {
  HMMIO h = OpenStreamIO(&Stream);
  if (h == nullptr) return nullptr;
  bool ok = false;
  try {
    Stream.SetSize(0);
    ok = WriteWaveHeader(h, Format, Riff, Data);
  } catch (const std::exception&) {
    ok = false;
  }
  if (!ok) {
    mmioClose(h, 0);
    return nullptr;
  }
  return h;
}

}  // namespace tw
