#pragma once
// Records, result codes and constants of the wave audio and RIFF interfaces,
// with the layouts and values the rest of the program and stored files rely
// on. Everything that stands in for a platform call lives in platform/ and
// uses these names, so the audio code reads like the device model it follows.

#include <cstddef>
#include <cstdint>

namespace tw {

using MMRESULT = uint32_t;
using FOURCC = uint32_t;

// Result codes. 0 is success; the texts are supplied per code by the output layer.
inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
inline constexpr MMRESULT MMSYSERR_NOTENABLED = 3;
inline constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
inline constexpr MMRESULT MMSYSERR_NODRIVER = 6;
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;
inline constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
inline constexpr MMRESULT MMSYSERR_BADERRNUM = 9;
inline constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
inline constexpr MMRESULT WAVERR_BADFORMAT = 32;
inline constexpr MMRESULT WAVERR_STILLPLAYING = 33;
inline constexpr MMRESULT WAVERR_UNPREPARED = 34;
inline constexpr MMRESULT WAVERR_SYNC = 35;

inline constexpr uint32_t WAVE_MAPPER = 0xFFFFFFFFu;
inline constexpr uint32_t WAVE_FORMAT_QUERY = 0x0001;
inline constexpr uint32_t CALLBACK_WINDOW = 0x00010000;
inline constexpr uint32_t CALLBACK_THREAD = 0x00020000;
inline constexpr uint16_t WAVE_FORMAT_PCM = 1;

// Device notifications.
inline constexpr uint32_t MM_WOM_OPEN = 955;
inline constexpr uint32_t MM_WOM_CLOSE = 956;
inline constexpr uint32_t MM_WOM_DONE = 957;
inline constexpr uint32_t MM_WIM_OPEN = 958;
inline constexpr uint32_t MM_WIM_CLOSE = 959;
inline constexpr uint32_t MM_WIM_DATA = 960;
inline constexpr uint32_t WM_QUIT = 0x0012;

// WAVEHDR flags.
inline constexpr uint32_t WHDR_DONE = 0x01;
inline constexpr uint32_t WHDR_PREPARED = 0x02;
inline constexpr uint32_t WHDR_BEGINLOOP = 0x04;
inline constexpr uint32_t WHDR_ENDLOOP = 0x08;
inline constexpr uint32_t WHDR_INQUEUE = 0x10;

// MMTIME types.
inline constexpr uint32_t TIME_MS = 0x01;
inline constexpr uint32_t TIME_SAMPLES = 0x02;
inline constexpr uint32_t TIME_BYTES = 0x04;
inline constexpr uint32_t TIME_SMPTE = 0x08;

// WAVEOUTCAPS::dwSupport bits.
inline constexpr uint32_t WAVECAPS_PITCH = 0x0001;
inline constexpr uint32_t WAVECAPS_PLAYBACKRATE = 0x0002;
inline constexpr uint32_t WAVECAPS_VOLUME = 0x0004;
inline constexpr uint32_t WAVECAPS_LRVOLUME = 0x0008;
inline constexpr uint32_t WAVECAPS_SYNC = 0x0010;
inline constexpr uint32_t WAVECAPS_SAMPLEACCURATE = 0x0020;

// WAVEOUTCAPS::dwFormats bits: 11025, 22050 and 44100 Hz in the order
// mono 8, stereo 8, mono 16, stereo 16 (bit i stands for format code i + 5).
inline constexpr uint32_t WAVE_FORMAT_1M08 = 0x0001;
inline constexpr uint32_t WAVE_FORMAT_1S08 = 0x0002;
inline constexpr uint32_t WAVE_FORMAT_1M16 = 0x0004;
inline constexpr uint32_t WAVE_FORMAT_1S16 = 0x0008;
inline constexpr uint32_t WAVE_FORMAT_2M08 = 0x0010;
inline constexpr uint32_t WAVE_FORMAT_2S08 = 0x0020;
inline constexpr uint32_t WAVE_FORMAT_2M16 = 0x0040;
inline constexpr uint32_t WAVE_FORMAT_2S16 = 0x0080;
inline constexpr uint32_t WAVE_FORMAT_4M08 = 0x0100;
inline constexpr uint32_t WAVE_FORMAT_4S08 = 0x0200;
inline constexpr uint32_t WAVE_FORMAT_4M16 = 0x0400;
inline constexpr uint32_t WAVE_FORMAT_4S16 = 0x0800;

#pragma pack(push, 1)
// The wave format record; its bytes are also the body of a "fmt " chunk, so
// the layout is exactly 18 bytes, little-endian, followed by cbSize bytes.
struct WAVEFORMATEX {
  uint16_t wFormatTag;
  uint16_t nChannels;
  uint32_t nSamplesPerSec;
  uint32_t nAvgBytesPerSec;
  uint16_t nBlockAlign;
  uint16_t wBitsPerSample;
  uint16_t cbSize;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX must match the fmt chunk layout");

// One buffer handed to an output device.
struct WAVEHDR {
  char* lpData;
  uint32_t dwBufferLength;
  uint32_t dwBytesRecorded;
  uintptr_t dwUser;
  uint32_t dwFlags;
  uint32_t dwLoops;
  WAVEHDR* lpNext;
  uintptr_t reserved;
};

struct MMTIME {
  uint32_t wType;
  union {
    uint32_t ms;
    uint32_t sample;
    uint32_t cb;
    uint32_t ticks;
    struct {
      uint8_t hour;
      uint8_t min;
      uint8_t sec;
      uint8_t frame;
      uint8_t fps;
      uint8_t dummy;
      uint8_t pad[2];
    } smpte;
  } u;
};

struct WAVEOUTCAPS {
  uint16_t wMid;
  uint16_t wPid;
  uint32_t vDriverVersion;
  char szPname[32];
  uint32_t dwFormats;
  uint16_t wChannels;
  uint16_t wReserved1;
  uint32_t dwSupport;
};

// A four-character code as stored in a RIFF file: the first character in the lowest byte.
constexpr FOURCC MakeFourCC(char a, char b, char c, char d) {
  return static_cast<FOURCC>(static_cast<uint8_t>(a)) |
         (static_cast<FOURCC>(static_cast<uint8_t>(b)) << 8) |
         (static_cast<FOURCC>(static_cast<uint8_t>(c)) << 16) |
         (static_cast<FOURCC>(static_cast<uint8_t>(d)) << 24);
}

}  // namespace tw
