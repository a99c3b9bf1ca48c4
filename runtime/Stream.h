#pragma once
// Seekable byte streams: the abstract TStream, the memory-backed
// TCustomMemoryStream/TMemoryStream and the file-backed TFileStream.
//
// Positions and sizes are byte counts from the start of the stream. Read and
// Write transfer what they can and report the count; ReadBuffer, WriteBuffer
// and CopyFrom insist on the full count and raise EStreamError otherwise.
// A stream is not safe for use from two threads at the same moment.

#include <cstdint>
#include <string>

namespace tw {

enum class TSeekOrigin : int { soBeginning = 0, soCurrent = 1, soEnd = 2 };

class TStream {
 public:
  TStream() = default;
  virtual ~TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;

  // Moves the position to Offset relative to Origin and returns the new
  // position. Positions past the end are allowed; reading there yields 0
  // bytes, writing there extends the stream. A negative target raises
  // EStreamError.
  virtual int64_t Seek(int64_t Offset, TSeekOrigin Origin) = 0;
  // Reads up to Count bytes at the position into Buffer and advances the
  // position; returns the count read, 0 at or past the end.
  virtual int64_t Read(void* Buffer, int64_t Count) = 0;
  // Writes Count bytes from Buffer at the position, extending the stream as
  // needed, and advances the position; returns the count written.
  virtual int64_t Write(const void* Buffer, int64_t Count) = 0;
  // Makes the stream NewSize bytes long (cutting or extending it). The
  // position is kept unless it now lies past the end, in which case it moves
  // to the new end. Raises EStreamError when the size cannot be set.
  virtual void SetSize(int64_t NewSize) = 0;

  // The length in bytes. The base computes it by seeking; the concrete
  // streams answer directly.
  virtual int64_t Size();

  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t Pos) { Seek(Pos, TSeekOrigin::soBeginning); }

  // Read/Write of exactly Count bytes; a shortfall raises EStreamError
  // ("Stream read error" / "Stream write error").
  void ReadBuffer(void* Buffer, int64_t Count);
  void WriteBuffer(const void* Buffer, int64_t Count);

  // Copies Count bytes from Source's position into this stream at this
  // stream's position. Count 0 copies the whole of Source from its start.
  // Returns the count copied; raises EStreamError when Source has fewer
  // bytes than asked for (bytes already copied stay written).
  int64_t CopyFrom(TStream& Source, int64_t Count);
};

// A stream over one contiguous block of memory that the derived class
// provides. Memory() is the block itself: writing through it changes the
// stream's content at once, and the pointer stays valid until the stream's
// size or capacity changes.
class TCustomMemoryStream : public TStream {
 public:
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Size() override { return size_; }

  void* Memory() const { return memory_; }

  // Writes the whole content to Dest at Dest's position, or to a file
  // created (or truncated) at FileName.
  void SaveToStream(TStream& Dest);
  void SaveToFile(const std::string& FileName);

 protected:
  void SetPointer(void* Ptr, int64_t Size) {
    memory_ = static_cast<uint8_t*>(Ptr);
    size_ = Size;
  }
  int64_t position_ = 0;

 private:
  uint8_t* memory_ = nullptr;
  int64_t size_ = 0;
};

// A growable memory stream that owns its block. Emptying it (SetSize(0) or
// Clear) keeps the block, so a stream that is emptied and refilled with
// data of similar size again does not allocate; only Clear with
// ReleaseMemory, or destruction, gives the block back. Allocation failure
// raises EOutOfMemory ("Out of memory").
class TMemoryStream : public TCustomMemoryStream {
 public:
  TMemoryStream() = default;
  ~TMemoryStream() override;

  int64_t Write(const void* Buffer, int64_t Count) override;
  void SetSize(int64_t NewSize) override;

  // Size and position 0; the block is kept unless ReleaseMemory.
  void Clear(bool ReleaseMemory = false);
  int64_t Capacity() const { return capacity_; }
  // Makes room for at least NewCapacity bytes without changing the size.
  void SetCapacity(int64_t NewCapacity);

  // Replaces the content with the whole of Source (from its start) or of
  // the file FileName; the position becomes 0.
  void LoadFromStream(TStream& Source);
  void LoadFromFile(const std::string& FileName);

 private:
  void Grow(int64_t Needed);
  int64_t capacity_ = 0;
};

// Open modes of TFileStream: one access mode, or-ed with at most one
// sharing mode; fmCreate alone creates the file or truncates it.
inline constexpr uint16_t fmOpenRead = 0x0000;
inline constexpr uint16_t fmOpenWrite = 0x0001;
inline constexpr uint16_t fmOpenReadWrite = 0x0002;
inline constexpr uint16_t fmShareCompat = 0x0000;
inline constexpr uint16_t fmShareExclusive = 0x0010;
inline constexpr uint16_t fmShareDenyWrite = 0x0020;
inline constexpr uint16_t fmShareDenyRead = 0x0030;
inline constexpr uint16_t fmShareDenyNone = 0x0040;
inline constexpr uint16_t fmCreate = 0xFFFF;

// A stream over an open file. On Linux sharing is enforced between
// Tonewell's own file streams with advisory locks: fmShareDenyWrite takes a
// shared lock, fmShareExclusive, fmCreate and the write modes with
// compatible sharing take an exclusive one; a conflicting lock makes the open
// fail. On Windows the modes are the system's share modes (deny read and
// write, deny write, deny read, deny none), honoured by every program.
// A file that cannot be opened raises EFOpenError
// "Cannot open file \"NAME\". <system reason>".
class TFileStream : public TStream {
 public:
  TFileStream(const std::string& FileName, uint16_t Mode);
  ~TFileStream() override;

  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  void SetSize(int64_t NewSize) override;
  int64_t Size() override;

  const std::string& FileName() const { return fileName_; }

 private:
  std::string fileName_;
  int handle_ = -1;
};

}  // namespace tw
