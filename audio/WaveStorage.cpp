#include "audio/WaveStorage.h"

#include <cstring>
#include <new>

#include "runtime/Stream.h"

namespace tw {

TWaveStreamAdapter::TWaveStreamAdapter(TStream* Stream, bool OwnsStream)
    : FStream(Stream), FOwnsStream(OwnsStream) {}

TWaveStreamAdapter::~TWaveStreamAdapter() {
  if (FState == wssReading) {
    EndRead();
  } else if (FState == wssRewriting) {
    EndRewrite();
  }
  if (FOwnsStream) delete FStream;
}

TWave::TWave() : TWaveStreamAdapter(new TMemoryStream, true) {}

// ---- Stale details and events ----

void TWaveStreamAdapter::DoChanging() {
  if (FDirty) return;
  FValid = false;
  FDirty = true;
  if (FOnChanging) FOnChanging(this);
}

void TWaveStreamAdapter::DoChange() {
  if (FOnChange) FOnChange(this);
}

void TWaveStreamAdapter::Refresh() { FDirty = true; }

bool TWaveStreamAdapter::UpdateDetails() {
  if (!FDirty || FState == wssRewriting) return FValid;
  FDirty = false;
  FWaveFormat.reset();
  FValid = ReadWaveHeader(*FStream, FWaveFormat, FDataSize, FDataOffset);
  if (!FValid) FWaveFormat.reset();
  DoChange();
  return FValid;
}

bool TWaveStreamAdapter::Empty() { return FStream->Size() == 0; }

uint32_t TWaveStreamAdapter::DataSize() { return UpdateDetails() ? FDataSize : 0; }

uint32_t TWaveStreamAdapter::DataOffset() { return UpdateDetails() ? FDataOffset : 0; }

uint32_t TWaveStreamAdapter::Length() {
  return UpdateDetails() ? WaveBytesToMs(FWaveFormat.get(), FDataSize) : 0;
}

const WAVEFORMATEX* TWaveStreamAdapter::WaveFormat() {
  return UpdateDetails() ? FWaveFormat.get() : nullptr;
}

uint32_t TWaveStreamAdapter::MsToBytes(uint32_t Ms) { return WaveMsToBytes(FWaveFormat.get(), Ms); }

void TWaveStreamAdapter::CloseHandle() {
  if (FHandle != nullptr) mmioClose(FHandle, 0);
  FHandle = nullptr;
  FState = wssIdle;
}

// ---- Rewriting ----

bool TWaveStreamAdapter::BeginRewrite(const WAVEFORMATEX* Format) {
  if (FState != wssIdle || Format == nullptr) return false;
  const int64_t sizeBefore = FStream->Size();
  // Format may be this container's own record, which the emptying of the
  // stream does not touch; it is read completely before anything frees it.
  FHandle = CreateWaveOnStream(*FStream, Format, FRiffChunk, FDataChunk);
  if (FHandle == nullptr) {
    // The stream may already have been emptied: what the cache says about
    // the old content no longer holds.
    if (sizeBefore != 0) DoChanging();
    return false;
  }
  FState = wssRewriting;
  FDataOffset = FDataChunk.dwDataOffset;
  DoChanging();
  return true;
}

bool TWaveStreamAdapter::BeginRewritePCM(TPCMFormat Code) {
  WAVEFORMATEX format{};
  if (!FillPCMFormatFromCode(format, Code)) return false;
  return BeginRewrite(&format);
}

int32_t TWaveStreamAdapter::Write(const void* Buffer, int32_t Count) {
  if (FState != wssRewriting) return -1;
  if (Count <= 0) return 0;
  return static_cast<int32_t>(mmioWrite(FHandle, Buffer, Count));
}

bool TWaveStreamAdapter::EndRewrite() {
  if (FState != wssRewriting) return false;
  // Size corrections are best effort: a stream that refuses them leaves a
  // wave that the re-parse below reports as it finds it.
  mmioAscend(FHandle, &FDataChunk, 0);
  mmioAscend(FHandle, &FRiffChunk, 0);
  CloseHandle();
  UpdateDetails();
  // Cut the pad byte and anything else after the data. A wave that did not
  // parse back is left as written rather than cut by stale figures.
  if (FValid) FStream->SetSize(int64_t{FDataOffset} + FDataSize);
  return true;
}

// ---- Reading ----

bool TWaveStreamAdapter::BeginRead() {
  if (FState != wssIdle || !Valid()) return false;
  FHandle = OpenStreamIO(FStream);
  if (FHandle == nullptr) return false;
  mmioSeek(FHandle, FDataOffset, MMIO_SEEK_SET);
  FState = wssReading;
  return true;
}

void TWaveStreamAdapter::SetDataPosition(uint32_t Offset) {
  if (FState == wssIdle) return;
  mmioSeek(FHandle, int64_t{FDataOffset} + Offset, MMIO_SEEK_SET);
}

int32_t TWaveStreamAdapter::Read(void* Buffer, int32_t Count) {
  if (FState != wssReading) return -1;
  if (Count <= 0) return 0;
  return static_cast<int32_t>(mmioRead(FHandle, Buffer, Count));
}

bool TWaveStreamAdapter::EndRead() {
  if (FState != wssReading) return false;
  CloseHandle();
  return true;
}

// ---- Whole content ----

void TWaveStreamAdapter::LoadFromStream(TStream& Source) {
  DoChanging();
  // A handle left open would point into bytes that are about to be replaced.
  CloseHandle();
  if (&Source != FStream) {
    // The whole of Source is expected from its current position: a source
    // that was not rewound comes up short and the copy raises.
    const int64_t size = Source.Size();
    FStream->SetPosition(0);
    if (size > 0) FStream->CopyFrom(Source, size);
    FStream->SetSize(size);
  }
  UpdateDetails();
}

void TWaveStreamAdapter::SaveToStream(TStream& Dest) {
  FStream->SetPosition(0);
  Dest.CopyFrom(*FStream, FStream->Size());
}

void TWaveStreamAdapter::LoadFromFile(const std::string& FileName) {
  TFileStream file(FileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(file);
}

void TWaveStreamAdapter::SaveToFile(const std::string& FileName) {
  TFileStream file(FileName, fmCreate);
  SaveToStream(file);
}

void TWaveStreamAdapter::Assign(TPersistent* Source) {
  if (auto* wave = dynamic_cast<TWaveStreamAdapter*>(Source)) {
    if (wave == this) return;
    wave->FStream->SetPosition(0);
    LoadFromStream(*wave->FStream);
    return;
  }
  TPersistent::Assign(Source);
}

void TWaveStreamAdapter::Clear() {
  DoChanging();
  CloseHandle();
  FStream->SetSize(0);
  DoChange();
}

void TWaveStreamAdapter::TrimStream() {
  if (FState == wssRewriting) return;
  FStream->SetSize(int64_t{DataOffset()} + DataSize());
}

// ---- Data access and comparison ----

bool TWaveStreamAdapter::BeginDataAccess(uint8_t*& Data, bool ForceCopy) {
  Data = nullptr;
  if (!Valid() || FDataSize == 0) return false;
  // A stored size that reaches past the stream's end is refused: the direct
  // view would run off the block, a copy would come up short.
  if (int64_t{FDataOffset} + FDataSize > FStream->Size()) return false;
  if (!ForceCopy) {
    if (auto* memory = dynamic_cast<TCustomMemoryStream*>(FStream)) {
      Data = static_cast<uint8_t*>(memory->Memory()) + FDataOffset;
      return true;
    }
  }
  auto* copy = new (std::nothrow) uint8_t[FDataSize];
  if (copy == nullptr) return false;
  FStream->SetPosition(FDataOffset);
  if (FStream->Read(copy, FDataSize) != FDataSize) {
    delete[] copy;
    return false;
  }
  Data = copy;
  return true;
}

bool TWaveStreamAdapter::EndDataAccess(uint8_t* Data, bool Updated) {
  if (Data == nullptr) return false;
  if (auto* memory = dynamic_cast<TCustomMemoryStream*>(FStream)) {
    if (Data == static_cast<uint8_t*>(memory->Memory()) + FDataOffset) return true;
  }
  bool result = true;
  if (Updated) {
    FStream->SetPosition(FDataOffset);
    result = FStream->Write(Data, FDataSize) == FDataSize;
  }
  delete[] Data;
  return result;
}

bool TWaveStreamAdapter::SameFormat(const WAVEFORMATEX* Format) {
  if (!Valid() || Format == nullptr) return false;
  const WAVEFORMATEX* own = FWaveFormat.get();
  if (own->cbSize != Format->cbSize) return false;
  return std::memcmp(own, Format, sizeof(WAVEFORMATEX) + own->cbSize) == 0;
}

bool TWaveStreamAdapter::SameFormat(TWaveStreamAdapter* Wave) {
  return Wave != nullptr && SameFormat(Wave->WaveFormat());
}

bool TWaveStreamAdapter::Equals(TWaveStreamAdapter* Wave) {
  if (!SameFormat(Wave) || FDataSize != Wave->DataSize()) return false;
  if (FDataSize == 0) return true;
  uint8_t* mine = nullptr;
  uint8_t* theirs = nullptr;
  bool equal = false;
  if (BeginDataAccess(mine, false) && Wave->BeginDataAccess(theirs, false)) {
    equal = std::memcmp(mine, theirs, FDataSize) == 0;
  }
  if (theirs != nullptr) Wave->EndDataAccess(theirs, false);
  if (mine != nullptr) EndDataAccess(mine, false);
  return equal;
}

}  // namespace tw
