#include "audio/WaveBufferPool.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace tw {

// A header with the pool's own data block. The header comes first, so a
// WAVEHDR* handed out by the pool is also a Block*.
struct TWaveBufferPool::Block {
  WAVEHDR Header{};
  char* Data = nullptr;
  uint32_t Capacity = 0;
  ~Block() { delete[] Data; }
};

namespace {

// How many freed headers (with their blocks) a pool keeps for reuse.
constexpr size_t kMaxSpareBuffers = 8;

}  // namespace

TWaveBufferPool::TWaveBufferPool(uintptr_t OwnerWord) : FOwnerWord(OwnerWord) {
  FBuffers.reserve(kMaxSpareBuffers);
  FSpare.reserve(kMaxSpareBuffers);
}

TWaveBufferPool::~TWaveBufferPool() {
  ReleaseAll();
  for (Block* b : FSpare) delete b;
}

TWaveBufferPool::Block* TWaveBufferPool::TakeBlock() {
  Block* b = nullptr;
  if (!FSpare.empty()) {
    b = FSpare.back();
    FSpare.pop_back();
  } else {
    b = new (std::nothrow) Block;
  }
  if (b == nullptr) return nullptr;
  try {
    FBuffers.push_back(&b->Header);
  } catch (const std::bad_alloc&) {
    delete b;
    return nullptr;
  }
  b->Header = WAVEHDR{};
  return b;
}

void TWaveBufferPool::ReturnBlock(Block* B) {
  if (FSpare.size() < kMaxSpareBuffers) {
    FSpare.push_back(B);  // reserved in the constructor: no allocation here
  } else {
    delete B;
  }
}

bool TWaveBufferPool::GrowBlock(Block* B, uint32_t Size) {
  if (B->Capacity >= Size) return true;
  char* grown = new (std::nothrow) char[Size];
  if (grown == nullptr) return false;
  // A resize keeps what the block held.
  const WAVEHDR& h = B->Header;
  if (B->Data != nullptr && h.lpData == B->Data && h.dwBufferLength > 0) {
    std::memcpy(grown, B->Data, std::min<uint32_t>(h.dwBufferLength, Size));
  }
  delete[] B->Data;
  B->Data = grown;
  B->Capacity = Size;
  return true;
}

bool TWaveBufferPool::Reallocate(WAVEHDR*& Header, uint32_t Size, void* Data) {
  if (Size == 0) {
    if (Header != nullptr) Free(Header);
    return true;
  }
  if (Header == nullptr) {
    Block* fresh = TakeBlock();
    if (fresh == nullptr) return false;
    Header = &fresh->Header;
  }
  Block* b = reinterpret_cast<Block*>(Header);
  if (Header->dwUser != FOwnerWord) {
    // The data belonged to someone else: forget it.
    Header->lpData = nullptr;
    Header->dwBufferLength = 0;
  } else if (Header->lpData != nullptr && Header->lpData != b->Data) {
    // A caller's block the pool adopted: it is the pool's to free.
    std::free(Header->lpData);
    Header->lpData = nullptr;
    Header->dwBufferLength = 0;
  }
  const bool ownData = Data == nullptr;
  if (ownData && !GrowBlock(b, Size)) {
    Free(Header);
    return false;
  }
  *Header = WAVEHDR{};
  if (ownData) Header->dwUser = FOwnerWord;
  Header->lpData = ownData ? b->Data : static_cast<char*>(Data);
  Header->dwBufferLength = Size;
  return true;
}

void TWaveBufferPool::Free(WAVEHDR*& Header) {
  Block* b = reinterpret_cast<Block*>(Header);
  auto it = std::find(FBuffers.begin(), FBuffers.end(), Header);
  if (it != FBuffers.end()) FBuffers.erase(it);
  if (Header->dwUser == FOwnerWord && Header->lpData != nullptr && Header->lpData != b->Data) {
    std::free(Header->lpData);
  }
  Header->lpData = nullptr;
  Header->dwUser = 0;
  ReturnBlock(b);
  Header = nullptr;
}

void TWaveBufferPool::ReleaseAll() {
  while (!FBuffers.empty()) {
    WAVEHDR* header = FBuffers.back();
    Free(header);
  }
}

bool TWaveBufferPool::Holds(const WAVEHDR* Header) const {
  return std::find(FBuffers.begin(), FBuffers.end(), Header) != FBuffers.end();
}

uint64_t TWaveBufferPool::PendingBytes() const {
  uint64_t bytes = 0;
  for (const WAVEHDR* h : FBuffers) {
    const uint32_t loops = h->dwLoops;  // a packed record: no references into it
    bytes += static_cast<uint64_t>(h->dwBufferLength) * (loops == 0 ? 1 : loops);
  }
  return bytes;
}

void TWaveBufferPool::Abandon() {
  // Kept for the rest of the process, past the destruction of statics: the
  // device may still use them.
  static auto* const mutex = new std::mutex;
  static auto* const kept = new std::vector<Block*>;
  std::lock_guard lock(*mutex);
  for (WAVEHDR* h : FBuffers) kept->push_back(reinterpret_cast<Block*>(h));
  FBuffers.clear();
}

}  // namespace tw
