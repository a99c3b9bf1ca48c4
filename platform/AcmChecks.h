#pragma once
// The argument checks of the conversion functions, the same on every system
// (acm_posix.cpp converts itself, acm_windows.cpp hands over to the
// system's conversion manager; both refuse the same calls first).

#include <cstdint>

#include "platform/msacm.h"

namespace tw {

// acmStreamOpen's arguments before any format is looked at. Clears *Stream
// (when given); MMSYSERR_INVALPARAM for a missing handle (unless only
// querying), missing formats, or a driver, filter, callback or instance (none
// is supported); MMSYSERR_NOTSUPPORTED for an asynchronous stream
// (conversions run to their end inside acmStreamConvert).
inline MMRESULT CheckStreamOpenArguments(HACMSTREAM* Stream, HACMDRIVER Driver,
                                         const WAVEFORMATEX* Source, const WAVEFORMATEX* Dest,
                                         void* Filter, uintptr_t Callback, uintptr_t Instance,
                                         uint32_t Flags) {
  const bool query = (Flags & ACM_STREAMOPENF_QUERY) != 0;
  if (Stream != nullptr) *Stream = nullptr;
  if ((!query && Stream == nullptr) || Source == nullptr || Dest == nullptr || Driver != nullptr ||
      Filter != nullptr || Callback != 0 || Instance != 0) {
    return MMSYSERR_INVALPARAM;
  }
  if ((Flags & ACM_STREAMOPENF_ASYNC) != 0) return MMSYSERR_NOTSUPPORTED;
  return MMSYSERR_NOERROR;
}

// A header acmStreamPrepareHeader can take: present, of a known size, and
// with a buffer wherever it claims bytes.
inline bool PreparableHeader(const ACMSTREAMHEADER* Header) {
  return Header != nullptr && Header->cbStruct >= sizeof(ACMSTREAMHEADER) &&
         (Header->pbSrc != nullptr || Header->cbSrcLength == 0) &&
         (Header->pbDst != nullptr || Header->cbDstLength == 0);
}

}  // namespace tw
