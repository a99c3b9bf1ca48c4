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

#include "platform/SyncObjects.h"  // WaitForSyncObject, the wait of the device objects
#include "platform/mmsystem.h"

namespace tw {

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

}  // namespace tw
