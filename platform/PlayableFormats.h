#pragma once
// Format rules and buffer arithmetic of the wave output model (a format's
// standard bit, a header's loops, a format as a user reads it), and the
// formats the sound systems that run inside this program (null and wav)
// play: integer PCM and IEEE float PCM whose record is self-consistent.

#include <cstdint>
#include <string>

#include "platform/mmsystem.h"

namespace tw {

inline constexpr uint16_t WAVE_FORMAT_IEEE_FLOAT = 3;

// 0 when the format is one our sound systems play: PCM with 8, 16, 24 or 32
// bits or IEEE float with 32 or 64 bits, 1 to 8 channels, 100 to 768000 Hz,
// nBlockAlign = channels * bits / 8 and nAvgBytesPerSec = rate * nBlockAlign.
// WAVERR_BADFORMAT otherwise, so a caller never divides by a zero rate.
MMRESULT CheckPlayableFormat(const WAVEFORMATEX& format);

// The dwFormats bits (WAVE_FORMAT_1M08 ...) that stand for this format; 0
// when it is none of the twelve standard ones.
uint32_t StandardFormatBit(const WAVEFORMATEX& format);

// How often the header's data is played: dwLoops times when the header is a
// whole loop by itself (both WHDR_BEGINLOOP and WHDR_ENDLOOP set), otherwise
// once. A loop count of 0 still plays the data once.
uint32_t PlayCount(const WAVEHDR& header);

// Bytes of sound the header stands for: its length times PlayCount.
uint64_t PlayBytes(const WAVEHDR& header);

// "44100 Hz, 2 channels, 16-bit PCM": the format as a user reads it.
std::string DescribeFormat(const WAVEFORMATEX& format);

// Why CheckPlayableFormat refused the format, for an error text: "The
// <who> cannot play <format ...>; it plays ...".
std::string UnplayableFormatText(const std::string& who, const WAVEFORMATEX& format);

// True when the two records describe the same sound (cbSize and any extra
// bytes are not compared).
bool SameWaveFormat(const WAVEFORMATEX& a, const WAVEFORMATEX& b);

}  // namespace tw
