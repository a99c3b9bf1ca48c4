#include "platform/mmio.h"

#include <cctype>
#include <cstring>
#include <mutex>
#include <new>

namespace tw {

struct MMIOHandle {
  MMIOINFO info;
  MMIOHandle* nextFree;
};

namespace {

// Closed handles wait here for the next open, so the per-tone road of
// opening and closing handles does not touch the heap.
constexpr int kMaxFreeHandles = 16;
std::mutex freeMutex;
MMIOHandle* freeList = nullptr;
int freeCount = 0;

MMIOHandle* AcquireHandle() {
  {
    std::lock_guard<std::mutex> lock(freeMutex);
    if (freeList != nullptr) {
      MMIOHandle* h = freeList;
      freeList = h->nextFree;
      --freeCount;
      return h;
    }
  }
  return new (std::nothrow) MMIOHandle;
}

void ReleaseHandle(MMIOHandle* h) {
  {
    std::lock_guard<std::mutex> lock(freeMutex);
    if (freeCount < kMaxFreeHandles) {
      h->nextFree = freeList;
      freeList = h;
      ++freeCount;
      return;
    }
  }
  delete h;
}

intptr_t Call(HMMIO h, uint32_t message, intptr_t p1, intptr_t p2) {
  return h->info.pIOProc(&h->info, message, p1, p2);
}

void Put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool WriteAt(HMMIO h, int64_t offset, const void* data, int64_t count) {
  return mmioSeek(h, offset, MMIO_SEEK_SET) == offset && mmioWrite(h, data, count) == count;
}

}  // namespace

HMMIO mmioOpen(const char* FileName, MMIOINFO* Info, uint32_t Flags) {
  if (Info == nullptr) return nullptr;
  if (Info->pIOProc == nullptr) {
    Info->wErrorRet = MMIOERR_CANNOTOPEN;
    return nullptr;
  }
  MMIOHandle* h = AcquireHandle();
  if (h == nullptr) {
    Info->wErrorRet = MMIOERR_OUTOFMEMORY;
    return nullptr;
  }
  h->info = *Info;
  h->info.dwFlags = Flags;
  h->info.cchBuffer = 0;
  h->info.pchBuffer = nullptr;
  h->info.hmmio = h;
  h->nextFree = nullptr;
  const intptr_t result = Call(h, MMIOM_OPEN, reinterpret_cast<intptr_t>(FileName), 0);
  if (result != 0) {
    Info->wErrorRet = result > 0 ? static_cast<uint32_t>(result) : MMIOERR_CANNOTOPEN;
    ReleaseHandle(h);
    return nullptr;
  }
  Info->wErrorRet = 0;
  return h;
}

MMRESULT mmioClose(HMMIO Handle, uint32_t /*Flags*/) {
  if (Handle == nullptr) return MMSYSERR_INVALHANDLE;
  const intptr_t result = Call(Handle, MMIOM_CLOSE, 0, 0);
  ReleaseHandle(Handle);
  return result == 0 ? MMSYSERR_NOERROR : MMIOERR_CANNOTCLOSE;
}

int64_t mmioRead(HMMIO Handle, void* Buffer, int64_t Count) {
  if (Handle == nullptr || Count < 0) return -1;
  if (Count == 0) return 0;
  return Call(Handle, MMIOM_READ, reinterpret_cast<intptr_t>(Buffer), static_cast<intptr_t>(Count));
}

int64_t mmioWrite(HMMIO Handle, const void* Buffer, int64_t Count) {
  if (Handle == nullptr || Count < 0) return -1;
  if (Count == 0) return 0;
  return Call(Handle, MMIOM_WRITE, reinterpret_cast<intptr_t>(Buffer),
              static_cast<intptr_t>(Count));
}

int64_t mmioSeek(HMMIO Handle, int64_t Offset, int Origin) {
  if (Handle == nullptr || Origin < MMIO_SEEK_SET || Origin > MMIO_SEEK_END) return -1;
  return Call(Handle, MMIOM_SEEK, static_cast<intptr_t>(Offset), Origin);
}

MMRESULT mmioDescend(HMMIO Handle, MMCKINFO* Chunk, const MMCKINFO* Parent, uint32_t Flags) {
  if (Handle == nullptr) return MMSYSERR_INVALHANDLE;
  if (Chunk == nullptr) return MMSYSERR_INVALPARAM;
  int64_t pos = mmioSeek(Handle, 0, MMIO_SEEK_CUR);
  if (pos < 0) return MMIOERR_CANNOTSEEK;
  const int64_t parentEnd =
      Parent != nullptr ? int64_t{Parent->dwDataOffset} + Parent->cksize : INT64_MAX;
  const bool findRiff = (Flags & MMIO_FINDRIFF) != 0;
  const bool findList = (Flags & MMIO_FINDLIST) != 0;
  const bool findChunk = (Flags & MMIO_FINDCHUNK) != 0;
  const FOURCC wantId = findRiff ? FOURCC_RIFF : findList ? FOURCC_LIST : Chunk->ckid;
  const FOURCC wantType = Chunk->fccType;

  for (;;) {
    if (pos + 8 > parentEnd) return MMIOERR_CHUNKNOTFOUND;
    uint8_t header[12];
    if (mmioRead(Handle, header, 8) != 8) return MMIOERR_CHUNKNOTFOUND;
    const FOURCC id = Get32(header);
    const uint32_t size = Get32(header + 4);
    FOURCC type = 0;
    const bool hasType = id == FOURCC_RIFF || id == FOURCC_LIST;
    if (hasType) {
      if (mmioRead(Handle, header + 8, 4) != 4) return MMIOERR_CHUNKNOTFOUND;
      type = Get32(header + 8);
    }
    bool match = true;
    if (findRiff || findList) {
      match = id == wantId && type == wantType;
    } else if (findChunk) {
      match = id == wantId;
    }
    if (match) {
      // Offsets past 4 GiB cannot be described by the record.
      if (pos + 8 > UINT32_MAX) return MMIOERR_CHUNKNOTFOUND;
      Chunk->ckid = id;
      Chunk->cksize = size;
      Chunk->fccType = type;
      Chunk->dwDataOffset = static_cast<uint32_t>(pos + 8);
      Chunk->dwFlags = 0;
      return MMSYSERR_NOERROR;
    }
    pos += 8 + int64_t{size} + (size & 1);
    if (mmioSeek(Handle, pos, MMIO_SEEK_SET) != pos) return MMIOERR_CHUNKNOTFOUND;
  }
}

MMRESULT mmioAscend(HMMIO Handle, MMCKINFO* Chunk, uint32_t /*Flags*/) {
  if (Handle == nullptr) return MMSYSERR_INVALHANDLE;
  if (Chunk == nullptr) return MMSYSERR_INVALPARAM;
  if ((Chunk->dwFlags & MMIO_DIRTY) != 0) {
    const int64_t pos = mmioSeek(Handle, 0, MMIO_SEEK_CUR);
    if (pos < Chunk->dwDataOffset) return MMIOERR_CANNOTSEEK;
    const int64_t size = pos - Chunk->dwDataOffset;
    if (size > UINT32_MAX) return MMIOERR_CANNOTWRITE;
    if (size != Chunk->cksize) {
      uint8_t field[4];
      Put32(field, static_cast<uint32_t>(size));
      if (!WriteAt(Handle, int64_t{Chunk->dwDataOffset} - 4, field, 4)) return MMIOERR_CANNOTWRITE;
      Chunk->cksize = static_cast<uint32_t>(size);
    }
    if ((size & 1) != 0) {
      const uint8_t pad = 0;
      if (!WriteAt(Handle, pos, &pad, 1)) return MMIOERR_CANNOTWRITE;
    }
    Chunk->dwFlags &= ~MMIO_DIRTY;
  }
  const int64_t end = int64_t{Chunk->dwDataOffset} + Chunk->cksize + (Chunk->cksize & 1);
  if (mmioSeek(Handle, end, MMIO_SEEK_SET) != end) return MMIOERR_CANNOTSEEK;
  return MMSYSERR_NOERROR;
}

MMRESULT mmioCreateChunk(HMMIO Handle, MMCKINFO* Chunk, uint32_t Flags) {
  if (Handle == nullptr) return MMSYSERR_INVALHANDLE;
  if (Chunk == nullptr) return MMSYSERR_INVALPARAM;
  const int64_t pos = mmioSeek(Handle, 0, MMIO_SEEK_CUR);
  if (pos < 0) return MMIOERR_CANNOTSEEK;
  if (pos + 8 > UINT32_MAX) return MMIOERR_CANNOTWRITE;
  if ((Flags & MMIO_CREATERIFF) != 0) Chunk->ckid = FOURCC_RIFF;
  if ((Flags & MMIO_CREATELIST) != 0) Chunk->ckid = FOURCC_LIST;
  uint8_t header[12];
  Put32(header, Chunk->ckid);
  Put32(header + 4, Chunk->cksize);
  int64_t length = 8;
  if ((Flags & (MMIO_CREATERIFF | MMIO_CREATELIST)) != 0) {
    Put32(header + 8, Chunk->fccType);
    length = 12;
  }
  if (mmioWrite(Handle, header, length) != length) return MMIOERR_CANNOTWRITE;
  Chunk->dwDataOffset = static_cast<uint32_t>(pos + 8);
  Chunk->dwFlags = MMIO_DIRTY;
  return MMSYSERR_NOERROR;
}

FOURCC mmioStringToFOURCC(const char* Text, uint32_t Flags) {
  char c[4] = {' ', ' ', ' ', ' '};
  for (int i = 0; i < 4 && Text != nullptr && Text[i] != '\0'; ++i) {
    c[i] = (Flags & MMIO_TOUPPER) != 0
               ? static_cast<char>(std::toupper(static_cast<unsigned char>(Text[i])))
               : Text[i];
  }
  return MakeFourCC(c[0], c[1], c[2], c[3]);
}

}  // namespace tw
