#include "runtime/Stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "runtime/Exceptions.h"

namespace tw {

namespace {

[[noreturn]] void ReadError() { throw EStreamError("Stream read error"); }
[[noreturn]] void WriteError() { throw EStreamError("Stream write error"); }

int64_t SeekTarget(int64_t Offset, TSeekOrigin Origin, int64_t Current, int64_t Size) {
  int64_t base = 0;
  switch (Origin) {
    case TSeekOrigin::soBeginning:
      base = 0;
      break;
    case TSeekOrigin::soCurrent:
      base = Current;
      break;
    case TSeekOrigin::soEnd:
      base = Size;
      break;
  }
  const int64_t target = base + Offset;
  if (target < 0) throw EStreamError("Stream seek error");
  return target;
}

}  // namespace

// ---- TStream ----

int64_t TStream::Size() {
  const int64_t pos = Seek(0, TSeekOrigin::soCurrent);
  const int64_t size = Seek(0, TSeekOrigin::soEnd);
  Seek(pos, TSeekOrigin::soBeginning);
  return size;
}

void TStream::ReadBuffer(void* Buffer, int64_t Count) {
  if (Count != 0 && Read(Buffer, Count) != Count) ReadError();
}

void TStream::WriteBuffer(const void* Buffer, int64_t Count) {
  if (Count != 0 && Write(Buffer, Count) != Count) WriteError();
}

int64_t TStream::CopyFrom(TStream& Source, int64_t Count) {
  if (Count == 0) {
    Source.SetPosition(0);
    Count = Source.Size();
  }
  // A memory source is copied straight from its block: one write, no buffer.
  if (&Source == this) {
    // Source and destination share one position: the copy is the identity
    // over the bytes that are there.
    const int64_t pos = Position();
    if (pos + Count > Size()) ReadError();
    Seek(Count, TSeekOrigin::soCurrent);
    return Count;
  }
  if (auto* memory = dynamic_cast<TCustomMemoryStream*>(&Source)) {
    const int64_t pos = memory->Position();
    const int64_t available = std::max<int64_t>(0, memory->Size() - pos);
    const int64_t n = std::min(Count, available);
    if (n > 0) {
      WriteBuffer(static_cast<const uint8_t*>(memory->Memory()) + pos, n);
      memory->Seek(n, TSeekOrigin::soCurrent);
    }
    if (n < Count) ReadError();
    return Count;
  }
  uint8_t buffer[16384];
  int64_t left = Count;
  while (left > 0) {
    const int64_t chunk = std::min<int64_t>(left, sizeof buffer);
    Source.ReadBuffer(buffer, chunk);
    WriteBuffer(buffer, chunk);
    left -= chunk;
  }
  return Count;
}

// ---- TCustomMemoryStream ----

int64_t TCustomMemoryStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  position_ = SeekTarget(Offset, Origin, position_, size_);
  return position_;
}

int64_t TCustomMemoryStream::Read(void* Buffer, int64_t Count) {
  if (Count <= 0 || position_ >= size_) return 0;
  const int64_t n = std::min(Count, size_ - position_);
  std::memcpy(Buffer, memory_ + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

void TCustomMemoryStream::SaveToStream(TStream& Dest) {
  if (size_ > 0) Dest.WriteBuffer(memory_, size_);
}

void TCustomMemoryStream::SaveToFile(const std::string& FileName) {
  TFileStream file(FileName, fmCreate);
  SaveToStream(file);
}

// ---- TMemoryStream ----

TMemoryStream::~TMemoryStream() { ::operator delete(Memory()); }

void TMemoryStream::SetCapacity(int64_t NewCapacity) {
  if (NewCapacity <= capacity_) return;
  void* block = ::operator new(static_cast<size_t>(NewCapacity), std::nothrow);
  if (block == nullptr) throw EOutOfMemory("Out of memory");
  if (Size() > 0) std::memcpy(block, Memory(), static_cast<size_t>(Size()));
  ::operator delete(Memory());
  SetPointer(block, Size());
  capacity_ = NewCapacity;
}

void TMemoryStream::Grow(int64_t Needed) {
  if (Needed <= capacity_) return;
  // Half again as much, in 64-byte steps, so a stream that grows by small
  // writes reallocates only a logarithmic number of times.
  int64_t target = std::max(Needed, capacity_ + capacity_ / 2);
  target = (target + 63) & ~int64_t{63};
  SetCapacity(target);
}

void TMemoryStream::SetSize(int64_t NewSize) {
  if (NewSize < 0) throw EStreamError("Stream size error");
  Grow(NewSize);
  // Bytes a stream grows by read as zeroes, never as stale content.
  if (NewSize > Size()) {
    std::memset(static_cast<uint8_t*>(Memory()) + Size(), 0, static_cast<size_t>(NewSize - Size()));
  }
  SetPointer(Memory(), NewSize);
  if (position_ > NewSize) position_ = NewSize;
}

int64_t TMemoryStream::Write(const void* Buffer, int64_t Count) {
  if (Count <= 0) return 0;
  const int64_t end = position_ + Count;
  auto* source = static_cast<const uint8_t*>(Buffer);
  if (end > Size()) {
    const int64_t oldSize = Size();
    // Buffer may lie inside this stream's own block, which growing moves.
    const auto* block = static_cast<const uint8_t*>(Memory());
    const bool inside = block != nullptr && source >= block && source < block + capacity_;
    const int64_t sourceOffset = inside ? source - block : 0;
    Grow(end);
    if (inside) source = static_cast<const uint8_t*>(Memory()) + sourceOffset;
    // A write past the end leaves a zero-filled gap, never stale bytes.
    if (position_ > oldSize) {
      std::memset(static_cast<uint8_t*>(Memory()) + oldSize, 0,
                  static_cast<size_t>(position_ - oldSize));
    }
    SetPointer(Memory(), end);
  }
  std::memmove(static_cast<uint8_t*>(Memory()) + position_, source, static_cast<size_t>(Count));
  position_ = end;
  return Count;
}

void TMemoryStream::Clear(bool ReleaseMemory) {
  if (ReleaseMemory) {
    ::operator delete(Memory());
    SetPointer(nullptr, 0);
    capacity_ = 0;
  } else {
    SetPointer(Memory(), 0);
  }
  position_ = 0;
}

void TMemoryStream::LoadFromStream(TStream& Source) {
  if (&Source == this) {
    position_ = 0;
    return;
  }
  Source.SetPosition(0);
  const int64_t size = Source.Size();
  SetSize(size);
  if (size > 0) Source.ReadBuffer(Memory(), size);
  position_ = 0;
}

void TMemoryStream::LoadFromFile(const std::string& FileName) {
  TFileStream file(FileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(file);
}

}  // namespace tw
