#pragma once
// The buffer headers of one device object and their data blocks. The pool
// hands out zero-filled WAVEHDR records, lists every one it has handed out
// (the object's Buffers) and keeps a few freed ones with their blocks for
// the next buffers, so that a device opened and closed per tone allocates
// nothing in the steady state. It calls nothing outside itself: the device
// object reports its failures.
//
// Ownership: a header's data is the pool's to free exactly when the header's
// user word is the pool's owner word (the device object). That data is either
// the pool's own block or a caller's std::malloc block that was adopted.

#include <cstdint>
#include <vector>

#include "platform/mmsystem.h"

namespace tw {

class TWaveBufferPool {
 public:
  // OwnerWord: the user word that marks data as the pool's.
  explicit TWaveBufferPool(uintptr_t OwnerWord);
  // Frees every header still listed and the spare ones.
  ~TWaveBufferPool();
  TWaveBufferPool(const TWaveBufferPool&) = delete;
  TWaveBufferPool& operator=(const TWaveBufferPool&) = delete;

  // Header null: a new header (listed) is set into it. Size 0: frees the
  // header and clears the reference (true also for a null one). Data null:
  // the header gets a block of the pool of at least Size bytes (a grown
  // block keeps what the old one held, up to Size); otherwise it points at
  // Data, which stays the caller's. Either way the header is zeroed except
  // for its data, length and (own block) user word. False when memory ran
  // out: the header is then freed and the reference cleared.
  bool Reallocate(WAVEHDR*& Header, uint32_t Size, void* Data);
  // Frees every listed header, last first.
  void ReleaseAll();
  // The header's data becomes the pool's to free with it (a std::malloc block).
  void Adopt(WAVEHDR* Header) const { Header->dwUser = FOwnerWord; }

  uint16_t Count() const { return static_cast<uint16_t>(FBuffers.size()); }
  // Whether Header is one of the listed headers.
  bool Holds(const WAVEHDR* Header) const;
  // Bytes of sound the listed headers hold, each counted once per loop.
  uint64_t PendingBytes() const;
  // For a device given up on: every listed header is taken off the list and
  // kept, with its data, for the rest of the process (the device may still
  // read or report them).
  void Abandon();

 private:
  struct Block;
  Block* TakeBlock();
  void ReturnBlock(Block* B);
  void Free(WAVEHDR*& Header);
  bool GrowBlock(Block* B, uint32_t Size);

  const uintptr_t FOwnerWord;
  std::vector<WAVEHDR*> FBuffers;
  std::vector<Block*> FSpare;
};

}  // namespace tw
