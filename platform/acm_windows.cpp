// The format conversion service on Windows: the system's own conversion
// manager (msacm32) with whatever converters the machine has installed.
//
// Our declarations come first: the system's headers define the same result
// codes and flags as macros, with the same values, so after them a bare
// ACMERR_NOTPOSSIBLE is the system's macro and equals ours. Inside namespace
// tw an unqualified ACMSTREAMHEADER or WAVEFORMATEX is our record; the
// system's records are written with a leading "::".
// clang-format off
#include "platform/AcmChecks.h"
#include "platform/msacm.h"
#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>
#include <msacm.h>
// clang-format on

#include <map>
#include <memory>
#include <new>

namespace tw {

struct ACMStreamObject {
  ::HACMSTREAM native = nullptr;
  // The system's header for each of our prepared headers; the system keeps
  // its own state in it from the prepare to the unprepare.
  std::map<ACMSTREAMHEADER*, std::unique_ptr<::ACMSTREAMHEADER>> prepared;
};

namespace {

// Our format record and the system's have the same 18-byte packed layout.
static_assert(sizeof(WAVEFORMATEX) == sizeof(::WAVEFORMATEX));

::WAVEFORMATEX* System(const WAVEFORMATEX* format) {
  return reinterpret_cast<::WAVEFORMATEX*>(const_cast<WAVEFORMATEX*>(format));
}

// Whether a format record is consistent enough to hand to the system. Its
// converters trust the records they get (one was seen to abort the process
// on a PCM record with no channels), so a record that describes no sound is
// refused here, as our own service refuses it on Linux.
bool Sane(const WAVEFORMATEX* f) {
  if (f->nChannels == 0 || f->nSamplesPerSec == 0 || f->nBlockAlign == 0) return false;
  if (f->wFormatTag != WAVE_FORMAT_PCM) return true;  // a codec's own rules
  return f->wBitsPerSample % 8 == 0 && f->wBitsPerSample >= 8 && f->wBitsPerSample <= 32 &&
         f->nBlockAlign == f->nChannels * f->wBitsPerSample / 8 &&
         f->nAvgBytesPerSec == static_cast<uint64_t>(f->nBlockAlign) * f->nSamplesPerSec;
}

}  // namespace

MMRESULT acmStreamOpen(HACMSTREAM* Stream, HACMDRIVER Driver, const WAVEFORMATEX* Source,
                       const WAVEFORMATEX* Dest, void* Filter, uintptr_t Callback,
                       uintptr_t Instance, uint32_t Flags) {
  if (const MMRESULT bad = CheckStreamOpenArguments(Stream, Driver, Source, Dest, Filter, Callback,
                                                    Instance, Flags)) {
    return bad;
  }
  const bool query = (Flags & ACM_STREAMOPENF_QUERY) != 0;
  if (!Sane(Source) || !Sane(Dest)) return ACMERR_NOTPOSSIBLE;
  // A whole buffer is converted at once, so the converter need not keep up
  // with real time (the system's PCM converter changes rates only then).
  const DWORD flags = Flags | ACM_STREAMOPENF_NONREALTIME;
  if (query) {
    return ::acmStreamOpen(nullptr, nullptr, System(Source), System(Dest), nullptr, 0, 0, flags);
  }
  auto object = std::unique_ptr<ACMStreamObject>(new (std::nothrow) ACMStreamObject);
  if (object == nullptr) return MMSYSERR_NOMEM;
  const MMRESULT result =
      ::acmStreamOpen(&object->native, nullptr, System(Source), System(Dest), nullptr, 0, 0, flags);
  if (result != MMSYSERR_NOERROR) return result;
  *Stream = object.release();
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamClose(HACMSTREAM Stream, uint32_t Flags) {
  if (Stream == nullptr) return MMSYSERR_INVALHANDLE;
  for (auto& [ours, native] : Stream->prepared) {
    ::acmStreamUnprepareHeader(Stream->native, native.get(), 0);
    ours->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_PREPARED;
  }
  const MMRESULT result = ::acmStreamClose(Stream->native, Flags);
  delete Stream;
  return result;
}

MMRESULT acmStreamSize(HACMSTREAM Stream, uint32_t Input, uint32_t* Output, uint32_t Flags) {
  if (Stream == nullptr) return MMSYSERR_INVALHANDLE;
  if (Output == nullptr) return MMSYSERR_INVALPARAM;
  DWORD size = 0;
  const MMRESULT result = ::acmStreamSize(Stream->native, Input, &size, Flags);
  if (result == MMSYSERR_NOERROR) *Output = size;
  return result;
}

MMRESULT acmStreamPrepareHeader(HACMSTREAM Stream, ACMSTREAMHEADER* Header, uint32_t Flags) {
  if (Stream == nullptr) return MMSYSERR_INVALHANDLE;
  if (!PreparableHeader(Header) || Stream->prepared.count(Header) != 0) return MMSYSERR_INVALPARAM;
  auto native = std::unique_ptr<::ACMSTREAMHEADER>(new (std::nothrow)::ACMSTREAMHEADER{});
  if (native == nullptr) return MMSYSERR_NOMEM;
  native->cbStruct = sizeof(::ACMSTREAMHEADER);
  native->pbSrc = Header->pbSrc;
  native->cbSrcLength = Header->cbSrcLength;
  native->pbDst = Header->pbDst;
  native->cbDstLength = Header->cbDstLength;
  const MMRESULT result = ::acmStreamPrepareHeader(Stream->native, native.get(), Flags);
  if (result != MMSYSERR_NOERROR) return result;
  try {
    Stream->prepared.emplace(Header, std::move(native));
  } catch (const std::bad_alloc&) {
    ::acmStreamUnprepareHeader(Stream->native, native.get(), 0);
    return MMSYSERR_NOMEM;
  }
  Header->fdwStatus |= ACMSTREAMHEADER_STATUSF_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamUnprepareHeader(HACMSTREAM Stream, ACMSTREAMHEADER* Header, uint32_t Flags) {
  if (Stream == nullptr) return MMSYSERR_INVALHANDLE;
  const auto it = Header == nullptr ? Stream->prepared.end() : Stream->prepared.find(Header);
  if (it == Stream->prepared.end()) return MMSYSERR_INVALPARAM;
  const MMRESULT result = ::acmStreamUnprepareHeader(Stream->native, it->second.get(), Flags);
  if (result != MMSYSERR_NOERROR) return result;
  Stream->prepared.erase(it);
  Header->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamConvert(HACMSTREAM Stream, ACMSTREAMHEADER* Header, uint32_t Flags) {
  if (Stream == nullptr) return MMSYSERR_INVALHANDLE;
  if (Header == nullptr || Header->cbStruct < sizeof(ACMSTREAMHEADER)) return MMSYSERR_INVALPARAM;
  const auto it = Stream->prepared.find(Header);
  if (it == Stream->prepared.end()) return ACMERR_UNPREPARED;
  ::ACMSTREAMHEADER& native = *it->second;
  // The whole source in one call: the first and the last piece at once.
  const MMRESULT result = ::acmStreamConvert(
      Stream->native, &native, Flags | ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END);
  if (result != MMSYSERR_NOERROR) return result;
  Header->cbSrcLengthUsed = native.cbSrcLengthUsed;
  Header->cbDstLengthUsed = native.cbDstLengthUsed;
  Header->fdwStatus |= ACMSTREAMHEADER_STATUSF_DONE;
  return MMSYSERR_NOERROR;
}

MMRESULT acmFormatSuggest(HACMDRIVER Driver, const WAVEFORMATEX* Source, WAVEFORMATEX* Dest,
                          uint32_t DestSize, uint32_t Flags) {
  if (Driver != nullptr || Source == nullptr || Dest == nullptr ||
      DestSize < sizeof(WAVEFORMATEX)) {
    return MMSYSERR_INVALPARAM;
  }
  if (!Sane(Source)) return ACMERR_NOTPOSSIBLE;
  return ::acmFormatSuggest(nullptr, System(Source), System(Dest), DestSize, Flags);
}

}  // namespace tw
