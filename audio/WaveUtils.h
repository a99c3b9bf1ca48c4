#pragma once
// The wave format record and the PCM format codes, conversions between
// milliseconds and byte counts, and sample-level routines on raw PCM
// buffers. Nothing here raises: failures are reported by the result (false,
// -1, 0) and nothing allocated on a failing path is left behind.
//
// Sample buffers are interleaved frames; 16-bit samples are signed
// little-endian, 8-bit samples unsigned bytes with silence at 128. A 16-bit
// buffer is expected to hold whole samples; a trailing odd byte is ignored by
// the routines that read samples.

#include <cstdint>
#include <vector>

#include "platform/StreamIO.h"
#include "platform/SyncObjects.h"  // WaitForSyncObject, the wait of the device objects
#include "platform/mmio.h"
#include "platform/mmsystem.h"

namespace tw {

class TStream;

// One of the 20 PCM formats that can be built by name (see
// FillPCMFormatFromCode). Only the low 7 bits count.
using TPCMFormat = uint8_t;

// The code of the format every tone is played in: 44100 Hz, stereo, 16 bits.
inline constexpr TPCMFormat pcmTone = 16;

enum TPCMChannel : uint8_t { cMono = 0, cStereo = 1 };
enum TPCMSamplesPerSec : uint8_t {
  ss8000Hz = 0,
  ss11025Hz = 1,
  ss22050Hz = 2,
  ss44100Hz = 3,
  ss48000Hz = 4
};
enum TPCMBitsPerSample : uint8_t { bs8Bit = 0, bs16Bit = 1 };

// Makes Format a PCM record: tag 1, the chosen channel count, rate and
// sample size, block align and bytes per second derived from them, cbSize 0.
// A choice outside its enumeration leaves that one field as it was (the
// derived fields are still recomputed from whatever the record then holds).
void FillPCMFormat(WAVEFORMATEX& Format, TPCMChannel Channels, TPCMSamplesPerSec SamplesPerSec,
                   TPCMBitsPerSample BitsPerSample);

// Fills Format for a format code and returns true; codes 1..20 (after
// masking to 7 bits) give, in order, 8000, 11025, 22050, 44100 and 48000 Hz,
// each as mono 8-bit, stereo 8-bit, mono 16-bit, stereo 16-bit. Any other
// code leaves Format untouched and returns false.
bool FillPCMFormatFromCode(WAVEFORMATEX& Format, TPCMFormat Code);

// Bytes in Ms milliseconds, rounded to the nearest byte and then down to a
// whole frame. 0 for a null Format.
uint32_t WaveMsToBytes(const WAVEFORMATEX* Format, uint32_t Ms);
// Bytes in Ms milliseconds, rounded to the nearest byte and then up to a
// whole frame: the size of an output buffer that holds at least Ms. 0 for a
// null Format.
uint32_t WaveBufferBytes(const WAVEFORMATEX* Format, uint32_t Ms);
// Milliseconds that Bytes last, rounded to the nearest; 0 for a null Format
// or one with no bytes per second.
uint32_t WaveBytesToMs(const WAVEFORMATEX* Format, uint32_t Bytes);

// True when Format is PCM with 8 or 16 bits per sample: the formats the
// sample routines handle.
bool IsSamplePCM(const WAVEFORMATEX* Format);

// The loudest sample's magnitude as a percentage of full scale, 0..100, over
// Count bytes of Data. Negative excursions count as much as positive ones:
// 16-bit -32768 and 32767 and 8-bit 0 and 255 all read 100. -1 unless
// Format is 8- or 16-bit PCM.
int GetPeakLevel(const void* Data, uint32_t Count, const WAVEFORMATEX* Format);

// Overwrites Count bytes of Data with silence: 128 for 8-bit samples, 0 for
// 16-bit ones. False (Data untouched) unless Format is 8- or 16-bit PCM.
bool FillSilence(void* Data, uint32_t Count, const WAVEFORMATEX* Format);

// Reverses the order of the samples of Count bytes of Data (single samples,
// not frames: in stereo the two channels trade places). False unless Format
// is 8- or 16-bit PCM.
bool ReverseSamples(void* Data, uint32_t Count, const WAVEFORMATEX* Format);

// Scales each sample by (100 + Percent) / 100, truncating toward zero:
// Percent 100 doubles, -50 halves, -100 silences. 16-bit results are
// clamped to -32767..32767; 8-bit samples are scaled as their distance from
// the midpoint 128 and clamped to 0..255, so silence stays silence. False
// unless Format is 8- or 16-bit PCM.
bool ScaleSamples(void* Data, uint32_t Count, const WAVEFORMATEX* Format, int Percent);

// One source of MixSamples: Count bytes at Data (null when Count is 0).
struct TMixSource {
  const void* Data;
  uint32_t Count;
};

// Writes OutputCount bytes of Output, each sample the average of the
// samples of the SourceCount sources at that position, truncating toward
// zero. A source that has ended counts as silence (128 for 8-bit, 0 for
// 16-bit) and still counts in the divisor. False unless Format is 8- or
// 16-bit PCM and there is at least one source.
bool MixSamples(const TMixSource* Sources, int SourceCount, const WAVEFORMATEX* Format,
                uint32_t OutputCount, void* Output);

// Converts SourceSize bytes of SourceData in SourceFormat to DestFormat
// through the conversion service (audio/WaveACM.h). On success Dest holds
// the converted bytes. Once the destination was sized, Dest holds what the
// service produced even when the conversion failed (possibly nothing).
// False when the service refuses the pair or the conversion fails.
bool AcmConvert(const WAVEFORMATEX* SourceFormat, const void* SourceData, uint32_t SourceSize,
                std::vector<uint8_t>& Dest, const WAVEFORMATEX* DestFormat);

// An owned wave format record of variable size: the 18-byte record followed
// by its cbSize extra bytes (and possibly more, when a "fmt " chunk was
// larger). Empty when it holds no record. Emptying keeps the storage, and a
// record that fits the storage reuses it, so re-parsing headers of the same
// kind does not allocate. Moves transfer the record; copies are not allowed.
class TWaveFormatBlock {
 public:
  TWaveFormatBlock() = default;
  ~TWaveFormatBlock();
  TWaveFormatBlock(TWaveFormatBlock&& Other) noexcept;
  TWaveFormatBlock& operator=(TWaveFormatBlock&& Other) noexcept;
  TWaveFormatBlock(const TWaveFormatBlock&) = delete;
  TWaveFormatBlock& operator=(const TWaveFormatBlock&) = delete;

  // The record, or null when empty.
  WAVEFORMATEX* get() const {
    return FSize != 0 ? reinterpret_cast<WAVEFORMATEX*>(FBytes) : nullptr;
  }
  WAVEFORMATEX* operator->() const { return get(); }
  explicit operator bool() const { return FSize != 0; }
  // Bytes held: at least 18 and at least 18 + cbSize when not empty.
  uint32_t size() const { return FSize; }

  // Holds Size (at least 18) zeroed bytes and returns them; null, with the
  // block emptied, when the memory cannot be had.
  uint8_t* Allocate(uint32_t Size);
  // Holds a copy of Format's 18 + cbSize bytes; false when Format is null or
  // memory cannot be had.
  bool Assign(const WAVEFORMATEX* Format);
  void reset() { FSize = 0; }

 private:
  uint8_t* FBytes = nullptr;
  uint32_t FSize = 0;
  uint32_t FCapacity = 0;
};

// Parses the RIFF/WAVE header of Stream: the first top-level "RIFF" chunk of
// form "WAVE", in it the first "fmt " chunk, and after that the first
// "data" chunk (a "data" chunk before "fmt " is not seen). On success Format
// holds the "fmt " chunk's bytes, zero-filled to at least 18 bytes and to
// 18 + cbSize; DataSize is the data chunk's size as stored (it is not
// compared with the stream's length) and DataOffset the stream offset of the
// first data byte. Fails for an empty stream or when no such RIFF chunk
// exists (Format untouched in both cases), and when the "fmt " chunk is
// missing or shorter than 14 bytes or the "data" chunk is missing (Format
// emptied). Never raises.
bool ReadWaveHeader(TStream& Stream, TWaveFormatBlock& Format, uint32_t& DataSize,
                    uint32_t& DataOffset);

// Writes at offset 0 of Handle: "RIFF", size 0, "WAVE", the "fmt " chunk
// with 18 + cbSize bytes of Format (padded to even), and the "data" chunk
// header with size 0, leaving Handle at the first data byte. Riff and Data
// receive the descriptors mmioAscend needs to correct the sizes later. False
// at the first failing step.
bool WriteWaveHeader(HMMIO Handle, const WAVEFORMATEX* Format, MMCKINFO& Riff, MMCKINFO& Data);

// Empties Stream and writes the header of a new wave of Format over it (see
// WriteWaveHeader). Returns the open handle at the first data byte, or null
// when the stream cannot be used or the header not written (the stream may
// then already have been emptied).
HMMIO CreateWaveOnStream(TStream& Stream, const WAVEFORMATEX* Format, MMCKINFO& Riff,
                         MMCKINFO& Data);

}  // namespace tw
