// AcmConvert: one whole-buffer conversion through the conversion service.

#include <exception>

#include "audio/WaveACM.h"
#include "audio/WaveUtils.h"

namespace tw {

bool AcmConvert(const WAVEFORMATEX* SourceFormat, const void* SourceData, uint32_t SourceSize,
                std::vector<uint8_t>& Dest, const WAVEFORMATEX* DestFormat) {
  HACMSTREAM stream = nullptr;
  if (acmStreamOpen(&stream, nullptr, SourceFormat, DestFormat, nullptr, 0, 0,
                    ACM_STREAMOPENF_NONREALTIME) != MMSYSERR_NOERROR) {
    return false;
  }
  bool converted = false;
  uint32_t size = 0;
  if (acmStreamSize(stream, SourceSize, &size, ACM_STREAMSIZEF_SOURCE) == MMSYSERR_NOERROR) {
    try {
      Dest.assign(size, 0);
      ACMSTREAMHEADER header{};
      header.cbStruct = sizeof header;
      header.pbSrc = static_cast<uint8_t*>(const_cast<void*>(SourceData));
      header.cbSrcLength = SourceSize;
      header.pbDst = Dest.data();
      header.cbDstLength = size;
      if (acmStreamPrepareHeader(stream, &header, 0) == MMSYSERR_NOERROR) {
        converted =
            acmStreamConvert(stream, &header, ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END) ==
            MMSYSERR_NOERROR;
        acmStreamUnprepareHeader(stream, &header, 0);
      }
      Dest.resize(header.cbDstLengthUsed);
      if (Dest.empty()) Dest.shrink_to_fit();
    } catch (const std::exception&) {
      Dest.clear();
      Dest.shrink_to_fit();
      converted = false;
    }
  }
  acmStreamClose(stream, 0);
  return converted;
}

}  // namespace tw
