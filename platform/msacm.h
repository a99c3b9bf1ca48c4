#pragma once
// The format conversion service: open a conversion from one wave format to
// another, size the destination, convert a whole buffer in one call, and
// suggest a PCM format. Records, flags and result codes follow the device
// model the audio code is written against; audio/WaveACM.h is the header
// the audio side includes.
//
// On Windows these functions hand the work to the system's own conversion
// manager (msacm32): what converts, and how, is what the converters installed
// on the machine do (the system's PCM converter at least; often ADPCM and
// other codecs too). The contracts below hold for the PCM formats there, and
// the text below describes Linux.
//
// On Linux, what converts: any PCM format with 8 or 16 bits per sample and one or two
// channels (the 20 named PCM formats and any other rate between 1000 and
// 384000 Hz) into any other such format. Sample rate goes through a
// high-quality resampler, channels are duplicated (mono to stereo) or
// averaged (stereo to mono), 8-bit unsigned and 16-bit signed samples are
// converted around the true 8-bit midpoint 128 and rounded to nearest.
// Anything else is refused with ACMERR_NOTPOSSIBLE.

#include <cstdint>

#include "platform/mmsystem.h"

namespace tw {

struct ACMStreamObject;
using HACMSTREAM = ACMStreamObject*;
using HACMDRIVER = void*;

// One source and one destination buffer of a conversion. Zero it, set
// cbStruct to sizeof(ACMSTREAMHEADER) and the four buffer fields, prepare
// it, convert, unprepare it.
struct ACMSTREAMHEADER {
  uint32_t cbStruct;
  uint32_t fdwStatus;
  uintptr_t dwUser;
  uint8_t* pbSrc;
  uint32_t cbSrcLength;
  uint32_t cbSrcLengthUsed;
  uintptr_t dwSrcUser;
  uint8_t* pbDst;
  uint32_t cbDstLength;
  uint32_t cbDstLengthUsed;
  uintptr_t dwDstUser;
  uint32_t dwReservedDriver[10];
};

inline constexpr MMRESULT ACMERR_BASE = 512;
inline constexpr MMRESULT ACMERR_NOTPOSSIBLE = ACMERR_BASE + 0;
inline constexpr MMRESULT ACMERR_BUSY = ACMERR_BASE + 1;
inline constexpr MMRESULT ACMERR_UNPREPARED = ACMERR_BASE + 2;
inline constexpr MMRESULT ACMERR_CANCELED = ACMERR_BASE + 3;

inline constexpr uint32_t ACM_STREAMOPENF_QUERY = 0x00000001;
inline constexpr uint32_t ACM_STREAMOPENF_ASYNC = 0x00000002;
inline constexpr uint32_t ACM_STREAMOPENF_NONREALTIME = 0x00000004;

inline constexpr uint32_t ACM_STREAMSIZEF_SOURCE = 0x00000000;
inline constexpr uint32_t ACM_STREAMSIZEF_DESTINATION = 0x00000001;

inline constexpr uint32_t ACM_STREAMCONVERTF_BLOCKALIGN = 0x00000004;
inline constexpr uint32_t ACM_STREAMCONVERTF_START = 0x00000010;
inline constexpr uint32_t ACM_STREAMCONVERTF_END = 0x00000020;

inline constexpr uint32_t ACMSTREAMHEADER_STATUSF_DONE = 0x00010000;
inline constexpr uint32_t ACMSTREAMHEADER_STATUSF_PREPARED = 0x00020000;
inline constexpr uint32_t ACMSTREAMHEADER_STATUSF_INQUEUE = 0x00100000;

inline constexpr uint32_t ACM_FORMATSUGGESTF_WFORMATTAG = 0x00010000;
inline constexpr uint32_t ACM_FORMATSUGGESTF_NCHANNELS = 0x00020000;
inline constexpr uint32_t ACM_FORMATSUGGESTF_NSAMPLESPERSEC = 0x00040000;
inline constexpr uint32_t ACM_FORMATSUGGESTF_WBITSPERSAMPLE = 0x00080000;

// Opens a conversion from Source to Dest into *Stream (null with
// ACM_STREAMOPENF_QUERY, which only asks whether it is possible). Driver,
// Filter, Callback and Instance must be null/0. Returns 0,
// ACMERR_NOTPOSSIBLE for a pair that is not converted,
// MMSYSERR_INVALPARAM for missing arguments, MMSYSERR_NOTSUPPORTED for
// ACM_STREAMOPENF_ASYNC, MMSYSERR_NOMEM.
MMRESULT acmStreamOpen(HACMSTREAM* Stream, HACMDRIVER Driver, const WAVEFORMATEX* Source,
                       const WAVEFORMATEX* Dest, void* Filter, uintptr_t Callback,
                       uintptr_t Instance, uint32_t Flags);
MMRESULT acmStreamClose(HACMSTREAM Stream, uint32_t Flags);
// With ACM_STREAMSIZEF_SOURCE: the destination bytes that Input source bytes
// can need (whole frames, at least what a conversion produces); with
// ACM_STREAMSIZEF_DESTINATION: the source bytes that fill Input destination
// bytes.
MMRESULT acmStreamSize(HACMSTREAM Stream, uint32_t Input, uint32_t* Output, uint32_t Flags);
MMRESULT acmStreamPrepareHeader(HACMSTREAM Stream, ACMSTREAMHEADER* Header, uint32_t Flags);
// MMSYSERR_INVALPARAM for a header that was not prepared.
MMRESULT acmStreamUnprepareHeader(HACMSTREAM Stream, ACMSTREAMHEADER* Header, uint32_t Flags);
// Converts the whole source buffer (whole frames of it) in one call; the
// flags ACM_STREAMCONVERTF_START and _END are implied. Sets cbSrcLengthUsed,
// cbDstLengthUsed (output beyond cbDstLength is cut at a whole frame) and
// ACMSTREAMHEADER_STATUSF_DONE. ACMERR_UNPREPARED for an unprepared header.
MMRESULT acmStreamConvert(HACMSTREAM Stream, ACMSTREAMHEADER* Header, uint32_t Flags);
// Completes Dest (DestSize bytes, at least 18) as a PCM format that Source
// converts to: the fields named by Flags are kept from Dest, the others are
// taken from Source. ACMERR_NOTPOSSIBLE when Source is not a format this
// service reads or the kept fields make no format it writes.
MMRESULT acmFormatSuggest(HACMDRIVER Driver, const WAVEFORMATEX* Source, WAVEFORMATEX* Dest,
                          uint32_t DestSize, uint32_t Flags);

}  // namespace tw
