#include "platform/StreamIO.h"

#include <exception>

#include "runtime/Stream.h"

namespace tw {

intptr_t StreamIOProc(MMIOINFO* Info, uint32_t Message, intptr_t Param1, intptr_t Param2) {
  if (Info == nullptr || Info->adwInfo[0] == 0) return -1;
  auto* stream = reinterpret_cast<TStream*>(Info->adwInfo[0]);
  try {
    switch (Message) {
      case MMIOM_READ: {
        stream->Seek(Info->lDiskOffset, TSeekOrigin::soBeginning);
        const int64_t n = stream->Read(reinterpret_cast<void*>(Param1), Param2);
        Info->lDiskOffset = stream->Position();
        return static_cast<intptr_t>(n);
      }
      case MMIOM_WRITE:
      case MMIOM_WRITEFLUSH: {
        stream->Seek(Info->lDiskOffset, TSeekOrigin::soBeginning);
        const int64_t n = stream->Write(reinterpret_cast<const void*>(Param1), Param2);
        Info->lDiskOffset = stream->Position();
        return static_cast<intptr_t>(n);
      }
      case MMIOM_SEEK: {
        if (Param2 == MMIO_SEEK_CUR) stream->Seek(Info->lDiskOffset, TSeekOrigin::soBeginning);
        const auto origin = Param2 == MMIO_SEEK_CUR   ? TSeekOrigin::soCurrent
                            : Param2 == MMIO_SEEK_END ? TSeekOrigin::soEnd
                                                      : TSeekOrigin::soBeginning;
        Info->lDiskOffset = stream->Seek(Param1, origin);
        return static_cast<intptr_t>(Info->lDiskOffset);
      }
      case MMIOM_OPEN:
        stream->Seek(0, TSeekOrigin::soBeginning);
        Info->lDiskOffset = 0;
        return 0;
      case MMIOM_CLOSE:
      default:
        return 0;
    }
  } catch (const std::exception&) {
    return -1;
  }
}

HMMIO OpenStreamIO(TStream* Stream) {
  if (Stream == nullptr) return nullptr;
  MMIOINFO info{};
  info.pIOProc = &StreamIOProc;
  info.adwInfo[0] = reinterpret_cast<uintptr_t>(Stream);
  return mmioOpen(nullptr, &info, MMIO_WRITE);
}

}  // namespace tw
