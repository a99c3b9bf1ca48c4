#pragma once
// Binds RIFF chunk I/O (mmio.h) to a TStream. Each handle keeps its own
// offset in the stream and seeks there before every read and write, so
// several handles over one stream can be used in turn; the stream's own
// position is left wherever the last operation put it.

#include <cstdint>

#include "platform/mmio.h"

namespace tw {

class TStream;

// The I/O procedure over the TStream in Info->adwInfo[0]; Info->lDiskOffset
// is this handle's offset. Returns -1 when Info or the stream is null or
// when the stream raises; otherwise the message's result (MMIOM_READ: bytes
// read, 0 at the end; MMIOM_WRITE/MMIOM_WRITEFLUSH: bytes written;
// MMIOM_SEEK: the new offset; MMIOM_OPEN: 0 after rewinding to offset 0;
// MMIOM_CLOSE and anything else: 0).
intptr_t StreamIOProc(MMIOINFO* Info, uint32_t Message, intptr_t Param1, intptr_t Param2);

// Opens an unbuffered chunk I/O handle over Stream, at offset 0 (the
// stream is rewound). Null when Stream is null. Close it with mmioClose;
// the stream must outlive the handle.
HMMIO OpenStreamIO(TStream* Stream);

}  // namespace tw
