#pragma once
// The wave container: one RIFF/WAVE wave held in a TStream.
//
// TWaveStreamAdapter caches what the stream's header says (validity, format,
// data size, data offset) and offers three ways in: rewriting the stream as
// a new wave (BeginRewrite, Write, EndRewrite), reading the data bytes back
// (BeginRead, SetDataPosition, Read, EndRead), and handling the wave as a
// whole (load, save, assign, clear, compare, edit, convert). TWave is the
// variant that owns a memory stream of its own.
//
// Cached details and events. Anything that changes the stream's bytes marks
// the details stale (DoChanging), firing OnChanging unless they already were
// stale. The next query of a header property re-parses the stream and fires
// OnChange, whether the parse succeeds or not. An unparseable or empty stream
// is an ordinary state: Valid is false, the properties read 0 or null.
//
// States: idle, reading (BeginRead..EndRead), rewriting
// (BeginRewrite..EndRewrite). Each begin needs the idle state; Write needs
// rewriting, Read needs reading. While rewriting, nothing is re-parsed.
//
// Failures are reported by results: false, -1 (Write/Read outside their
// state), null/0 properties. The only exceptions come from the runtime: a
// file that cannot be opened (EFOpenError), an unsupported Assign source
// (EConvertError), a source stream with fewer bytes than its size claims
// (EStreamError), and memory exhaustion.
//
// Rewriting and reading over a memory stream do not allocate once the
// stream's block is large enough: the tone road (BeginRewritePCM(16), Write,
// EndRewrite, LoadFromStream into the player's copy, BeginRead/Read) runs
// once per executed instruction.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "audio/WaveUtils.h"
#include "runtime/Persistent.h"

namespace tw {

class TStream;
class TWaveStreamAdapter;

// A container event, called with the container as Sender. It counts as
// assigned when it holds a callable.
using TWaveNotifyEvent = std::function<void(TPersistent* Sender)>;

enum TWaveStreamState : uint8_t { wssIdle = 0, wssReading = 1, wssRewriting = 2 };

class TWaveStreamAdapter : public TPersistent {
 public:
  // Binds Stream (not null), freed with the container when OwnsStream. The
  // details start stale.
  TWaveStreamAdapter(TStream* Stream, bool OwnsStream);
  // Ends an open state first (a wave left half written is finished with
  // correct sizes), then frees an owned stream.
  ~TWaveStreamAdapter() override;

  const char* ClassName() const override { return "TWaveStreamAdapter"; }

  // From another container: its stream is rewound and loaded. Any other
  // source raises EConvertError. Assigning a container to itself changes
  // nothing.
  void Assign(TPersistent* Source) override;

  // Obtains the wave's data bytes for editing. Without ForceCopy, over a
  // memory stream, Data points straight into the stream's block (changes
  // show at once); otherwise Data is a copy of DataSize bytes. False, with
  // Data null, when the wave is invalid, has no data, or its stored data
  // size reaches past the end of the stream.
  virtual bool BeginDataAccess(uint8_t*& Data, bool ForceCopy);
  // Releases Data from BeginDataAccess. A copy is written back first when
  // Updated (false if not all bytes could be written) and then freed; the
  // direct view needs nothing. No event fires. False for null Data.
  virtual bool EndDataAccess(uint8_t* Data, bool Updated);
  // Bytes in Ms milliseconds of the parsed format, down to whole frames.
  // Needs Valid to have been established; 0 without a format.
  virtual uint32_t MsToBytes(uint32_t Ms);

  // Same format and stored data size and equal data bytes.
  virtual bool Equals(TWaveStreamAdapter* Wave);
  // True when this wave is valid and its record equals Format's 18 + cbSize
  // bytes (cbSize included).
  virtual bool SameFormat(const WAVEFORMATEX* Format);
  virtual bool SameFormat(TWaveStreamAdapter* Wave);

  // Replaces the bytes with the whole of Source from its current position
  // (callers rewind it) and re-parses. An open reading or rewriting state is
  // closed first; a half-written wave is abandoned.
  virtual void LoadFromStream(TStream& Source);
  // Copies the whole stream to Dest at Dest's position.
  virtual void SaveToStream(TStream& Dest);
  virtual void LoadFromFile(const std::string& FileName);
  virtual void SaveToFile(const std::string& FileName);
  // Empties the stream and fires OnChange; the next query re-parses.
  virtual void Clear();
  // Marks the details stale without an event.
  virtual void Refresh();
  // Cuts the stream after the data (empties it for an invalid wave). Does
  // nothing while rewriting.
  virtual void TrimStream();

  // Editing. Each returns false and leaves the wave as it was when its
  // preconditions fail (invalid wave, empty range, position at or beyond
  // the end, format mismatch, no conversion). Positions and lengths are
  // milliseconds, turned into whole frames. All but Reverse and
  // ChangeVolume rewrite the stream as a new wave and, unless said
  // otherwise, report whether it received data: an edit that leaves no data
  // rewrites an empty wave and returns false.
  // Reverses the order of the samples in place (in stereo the channels
  // trade places).
  virtual bool Reverse();
  // Scales every sample by (100 + Percent) / 100, clamped; 8-bit samples
  // scale around the midpoint 128.
  virtual bool ChangeVolume(int Percent);
  // Rewrites the wave in Format; true without change when it already is.
  virtual bool ConvertTo(const WAVEFORMATEX* Format);
  // Copy, Crop and Delete need LenMs > 0 and PosMs below the Length of
  // the wave they take from; the range is cut at the end of the data.
  // Replaces the content with LenMs from PosMs of Source.
  virtual bool Copy(TWaveStreamAdapter* Source, uint32_t PosMs, uint32_t LenMs);
  // Keeps only LenMs from PosMs.
  virtual bool Crop(uint32_t PosMs, uint32_t LenMs);
  // Removes LenMs from PosMs.
  virtual bool Delete(uint32_t PosMs, uint32_t LenMs);
  // Inserts Wave's data (same format; Wave may be this container) at PosMs.
  virtual bool Insert(uint32_t PosMs, TWaveStreamAdapter* Wave);
  // Inserts LenMs of silence at PosMs (128 for 8-bit samples, 0 for 16-bit).
  virtual bool InsertSilence(uint32_t PosMs, uint32_t LenMs);
  // Delete(0, LenMs).
  virtual bool DeleteHead(uint32_t LenMs);
  // Deletes the last LenMs (at most Length); as Length is rounded to whole
  // milliseconds, a few bytes may remain.
  virtual bool DeleteTail(uint32_t LenMs);
  // Replaces the content with Waves joined in order, in the first one's
  // format, with GapMs of silence between them. Later waves are not
  // converted: their bytes are joined as they are. This container may be
  // among them (its old content is used).
  virtual bool Concat(const std::vector<TWaveStreamAdapter*>& Waves, uint32_t GapMs);
  // Replaces the content with the average of Waves (all of one format); a
  // wave that ends early counts as silence. This container may be among
  // them (its old content is used).
  virtual bool Mix(const std::vector<TWaveStreamAdapter*>& Waves);

  // Empties the stream and writes the header of a new wave of Format
  // (Format may be this container's own WaveFormat). Needs idle.
  virtual bool BeginRewrite(const WAVEFORMATEX* Format);
  // Corrects the sizes (a zero pad byte follows odd-sized data and is
  // counted by the RIFF size), re-parses (OnChange fires) and cuts the
  // stream right after the last data byte. Needs rewriting.
  virtual bool EndRewrite();
  // Appends Count data bytes; bytes written, or -1 unless rewriting.
  virtual int32_t Write(const void* Buffer, int32_t Count);
  // Opens reading at the first data byte. Needs idle and Valid.
  virtual bool BeginRead();
  virtual bool EndRead();
  // Reads up to Count bytes; 0 at the end of the stream (the end of the
  // data for waves written here and copies of them), -1 unless reading.
  virtual int32_t Read(void* Buffer, int32_t Count);

  // BeginRewrite with the PCM format of Code (see FillPCMFormatFromCode);
  // false for a code that names no format.
  bool BeginRewritePCM(TPCMFormat Code);
  // Moves reading or rewriting to data offset + Offset; does nothing when idle.
  void SetDataPosition(uint32_t Offset);

  bool Valid() { return UpdateDetails(); }
  // The stream is empty (no parse).
  bool Empty();
  uint32_t DataSize();
  uint32_t DataOffset();
  // Milliseconds of data, rounded.
  uint32_t Length();
  // The parsed format, or null; valid until the next re-parse.
  const WAVEFORMATEX* WaveFormat();
  TStream* Stream() const { return FStream; }
  TWaveStreamState State() const { return FState; }

  const TWaveNotifyEvent& OnChanging() const { return FOnChanging; }
  void SetOnChanging(TWaveNotifyEvent Event) { FOnChanging = std::move(Event); }
  const TWaveNotifyEvent& OnChange() const { return FOnChange; }
  void SetOnChange(TWaveNotifyEvent Event) { FOnChange = std::move(Event); }

 protected:
  // Re-parses when stale (and not rewriting), firing OnChange; returns Valid.
  virtual bool UpdateDetails();
  // Marks the details stale and fires OnChanging, unless already stale.
  virtual void DoChanging();
  virtual void DoChange();

 private:
  // The rebuild that ends most editing operations: the stream is rewritten
  // as a wave of Format holding Data. Returns whether bytes were written.
  bool Rebuild(const WAVEFORMATEX* Format, const uint8_t* Data, uint32_t Count);
  void CloseHandle();

  TStream* FStream;
  bool FOwnsStream;
  bool FDirty = true;
  bool FValid = false;
  uint32_t FDataSize = 0;
  uint32_t FDataOffset = 0;
  TWaveFormatBlock FWaveFormat;
  TWaveNotifyEvent FOnChanging;
  TWaveNotifyEvent FOnChange;
  TWaveStreamState FState = wssIdle;
  MMCKINFO FRiffChunk{};
  MMCKINFO FDataChunk{};
  HMMIO FHandle = nullptr;
};

// A container over a memory stream of its own.
class TWave : public TWaveStreamAdapter {
 public:
  TWave();
  const char* ClassName() const override { return "TWave"; }
};

}  // namespace tw
