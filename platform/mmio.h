#pragma once
// RIFF chunk I/O over an application I/O procedure: the records, flags and
// functions the wave code reads and writes its RIFF/WAVE images with.
//
// A handle is opened over an I/O procedure that does the actual reading,
// writing and seeking (StreamIO.h binds one to a TStream). There is no I/O
// buffer: every read and write goes straight to the procedure.
//
// Chunks are word-aligned: a chunk of odd size is followed by one pad byte,
// and searching skips a chunk by its size plus that pad byte. A search inside
// a parent chunk ends, unsuccessfully, at the parent's end. Sizes are
// little-endian 32-bit values, four-character codes are four bytes with the
// first character first.
//
// Handles are recycled: opening and closing many handles in turn does not
// allocate once a few have been used. A handle is used by one thread at a
// time.

#include <cstdint>

#include "platform/mmsystem.h"

namespace tw {

struct MMIOINFO;
struct MMIOHandle;
using HMMIO = MMIOHandle*;

// The I/O procedure: Info is the handle's own record (its lDiskOffset and
// adwInfo belong to the procedure), Message one of MMIOM_*, the parameters
// as listed there. Returns the message's result, -1 for failure.
using LPMMIOPROC = intptr_t (*)(MMIOINFO* Info, uint32_t Message, intptr_t Param1, intptr_t Param2);

struct MMIOINFO {
  uint32_t dwFlags;
  FOURCC fccIOProc;
  LPMMIOPROC pIOProc;
  uint32_t wErrorRet;  // why mmioOpen failed, set in the caller's record
  int32_t cchBuffer;   // always 0: no I/O buffer
  char* pchBuffer;
  int64_t lDiskOffset;   // the procedure's current offset
  uintptr_t adwInfo[3];  // the procedure's own state
  HMMIO hmmio;
};

// A chunk as found or created. dwDataOffset is the offset of the chunk's
// data (for "RIFF" and "LIST" chunks the form type is the first 4 data
// bytes).
struct MMCKINFO {
  FOURCC ckid;
  uint32_t cksize;
  FOURCC fccType;
  uint32_t dwDataOffset;
  uint32_t dwFlags;
};

// Open flags.
inline constexpr uint32_t MMIO_READ = 0x00000000;
inline constexpr uint32_t MMIO_WRITE = 0x00000001;
inline constexpr uint32_t MMIO_READWRITE = 0x00000002;
// Descend flags.
inline constexpr uint32_t MMIO_FINDCHUNK = 0x0010;
inline constexpr uint32_t MMIO_FINDRIFF = 0x0020;
inline constexpr uint32_t MMIO_FINDLIST = 0x0040;
// Create-chunk flags.
inline constexpr uint32_t MMIO_CREATERIFF = 0x0020;
inline constexpr uint32_t MMIO_CREATELIST = 0x0040;
// Set in MMCKINFO::dwFlags by mmioCreateChunk: mmioAscend corrects its size.
inline constexpr uint32_t MMIO_DIRTY = 0x10000000;
// mmioStringToFOURCC: upper-case the code.
inline constexpr uint32_t MMIO_TOUPPER = 0x0010;

// Messages to the I/O procedure.
inline constexpr uint32_t MMIOM_READ = 0;   // Param1 buffer, Param2 count -> count read
inline constexpr uint32_t MMIOM_WRITE = 1;  // Param1 buffer, Param2 count -> count written
inline constexpr uint32_t MMIOM_SEEK = 2;   // Param1 offset, Param2 origin -> new offset
inline constexpr uint32_t MMIOM_OPEN = 3;   // Param1 file name or null -> 0 on success
inline constexpr uint32_t MMIOM_CLOSE = 4;  // -> 0
inline constexpr uint32_t MMIOM_WRITEFLUSH = 5;

inline constexpr int MMIO_SEEK_SET = 0;
inline constexpr int MMIO_SEEK_CUR = 1;
inline constexpr int MMIO_SEEK_END = 2;

inline constexpr MMRESULT MMIOERR_BASE = 256;
inline constexpr MMRESULT MMIOERR_FILENOTFOUND = MMIOERR_BASE + 1;
inline constexpr MMRESULT MMIOERR_OUTOFMEMORY = MMIOERR_BASE + 2;
inline constexpr MMRESULT MMIOERR_CANNOTOPEN = MMIOERR_BASE + 3;
inline constexpr MMRESULT MMIOERR_CANNOTCLOSE = MMIOERR_BASE + 4;
inline constexpr MMRESULT MMIOERR_CANNOTREAD = MMIOERR_BASE + 5;
inline constexpr MMRESULT MMIOERR_CANNOTWRITE = MMIOERR_BASE + 6;
inline constexpr MMRESULT MMIOERR_CANNOTSEEK = MMIOERR_BASE + 7;
inline constexpr MMRESULT MMIOERR_CANNOTEXPAND = MMIOERR_BASE + 8;
inline constexpr MMRESULT MMIOERR_CHUNKNOTFOUND = MMIOERR_BASE + 9;

inline constexpr FOURCC FOURCC_RIFF = MakeFourCC('R', 'I', 'F', 'F');
inline constexpr FOURCC FOURCC_LIST = MakeFourCC('L', 'I', 'S', 'T');

// Opens a handle over Info->pIOProc, which receives MMIOM_OPEN with
// FileName. Info is copied into the handle; FileName may be null. Returns
// null, with Info->wErrorRet set, when Info has no procedure
// (MMIOERR_CANNOTOPEN) or the procedure refuses the open (its result).
HMMIO mmioOpen(const char* FileName, MMIOINFO* Info, uint32_t Flags);
// Sends MMIOM_CLOSE and releases the handle; returns 0 or
// MMIOERR_CANNOTCLOSE. A null handle gives MMSYSERR_INVALHANDLE.
MMRESULT mmioClose(HMMIO Handle, uint32_t Flags);
// Bytes read (0 at the end) or -1.
int64_t mmioRead(HMMIO Handle, void* Buffer, int64_t Count);
// Bytes written or -1.
int64_t mmioWrite(HMMIO Handle, const void* Buffer, int64_t Count);
// The new offset, or -1.
int64_t mmioSeek(HMMIO Handle, int64_t Offset, int Origin);

// Reads the chunk header at the current offset into Chunk and leaves the
// offset at the chunk's data (past the form type of "RIFF"/"LIST").
// MMIO_FINDCHUNK searches for a chunk with Chunk->ckid, MMIO_FINDRIFF and
// MMIO_FINDLIST for a "RIFF" or "LIST" chunk with form type Chunk->fccType;
// non-matching chunks are skipped. With Parent, the search ends at the
// parent's end. Returns 0, or MMIOERR_CHUNKNOTFOUND when nothing matches
// before the end (the offset is then unspecified).
MMRESULT mmioDescend(HMMIO Handle, MMCKINFO* Chunk, const MMCKINFO* Parent, uint32_t Flags);
// Leaves Chunk: when Chunk was created here (MMIO_DIRTY), its size becomes
// the current offset minus its data offset, written into the header when it
// changed, and a zero pad byte is written after odd-sized data. Then the
// offset moves past the chunk and its pad byte. Returns 0,
// MMIOERR_CANNOTWRITE or MMIOERR_CANNOTSEEK.
MMRESULT mmioAscend(HMMIO Handle, MMCKINFO* Chunk, uint32_t Flags);
// Writes a chunk header at the current offset: Chunk->ckid (or "RIFF"/"LIST"
// with MMIO_CREATERIFF/MMIO_CREATELIST, followed by Chunk->fccType) and
// Chunk->cksize. Sets Chunk->dwDataOffset and MMIO_DIRTY; the offset is left
// at the chunk's data. Returns 0 or MMIOERR_CANNOTWRITE.
MMRESULT mmioCreateChunk(HMMIO Handle, MMCKINFO* Chunk, uint32_t Flags);

// The code of the first four characters of Text, blank-padded when shorter,
// upper-cased with MMIO_TOUPPER.
FOURCC mmioStringToFOURCC(const char* Text, uint32_t Flags);

}  // namespace tw
