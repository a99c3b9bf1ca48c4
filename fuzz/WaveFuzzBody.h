#pragma once
// What the wave fuzz target does with one input, shared with the regression
// test that replays the seed corpus and every input that once crashed: parse
// the header, load the bytes into a container and use everything a player
// or an editor would touch, over a memory stream and over a stream that is
// not memory-backed, then edit and convert it.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "audio/WaveStorage.h"
#include "audio/WaveUtils.h"
#include "runtime/Stream.h"

namespace tw::fuzz {

// A stream that is not memory-backed, so the copying paths run too.
class PlainStream : public TStream {
 public:
  explicit PlainStream(TMemoryStream& Inner) : FInner(Inner) {}
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override { return FInner.Seek(Offset, Origin); }
  int64_t Read(void* Buffer, int64_t Count) override { return FInner.Read(Buffer, Count); }
  int64_t Write(const void* Buffer, int64_t Count) override { return FInner.Write(Buffer, Count); }
  void SetSize(int64_t NewSize) override { FInner.SetSize(NewSize); }
  int64_t Size() override { return FInner.Size(); }

 private:
  TMemoryStream& FInner;
};

inline uint32_t Exercise(TWaveStreamAdapter& w) {
  uint32_t sum = 0;
  if (!w.Valid()) return sum;
  const WAVEFORMATEX* f = w.WaveFormat();
  // The whole record, extra bytes included, must be readable.
  const auto* bytes = reinterpret_cast<const uint8_t*>(f);
  for (uint32_t i = 0; i < sizeof(WAVEFORMATEX) + f->cbSize; ++i) sum += bytes[i];
  sum += w.Length() + w.MsToBytes(10) + WaveBufferBytes(f, 7);
  if (w.BeginRead()) {
    uint8_t buf[1024];
    w.SetDataPosition(WaveMsToBytes(f, 1));
    int32_t n;
    while ((n = w.Read(buf, sizeof buf)) > 0) sum += buf[0] + static_cast<uint32_t>(n);
    w.EndRead();
  }
  uint8_t* data = nullptr;
  if (w.BeginDataAccess(data, false)) {
    sum += static_cast<uint32_t>(GetPeakLevel(data, w.DataSize(), f));
    w.EndDataAccess(data, false);
  }
  sum += w.Equals(&w) ? 1 : 0;
  return sum;
}

inline uint32_t FuzzWaveInput(const uint8_t* Data, size_t Size) {
  uint32_t sum = 0;
  TMemoryStream source;
  source.Write(Data, static_cast<int64_t>(Size));

  TWaveFormatBlock format;
  uint32_t dataSize = 0, dataOffset = 0;
  if (ReadWaveHeader(source, format, dataSize, dataOffset)) sum += format->nChannels + dataOffset;

  TWave wave;
  source.SetPosition(0);
  wave.LoadFromStream(source);
  sum += Exercise(wave);

  TMemoryStream inner;
  PlainStream plain(inner);
  TWaveStreamAdapter copy(&plain, false);
  copy.Assign(&wave);
  sum += Exercise(copy);

  // The editing operations on whatever parsed. A header may claim any byte
  // rate, and a millisecond of silence at four gigabytes a second is a
  // legitimate but slow edit, so those are left to the parse checks above.
  if (copy.Valid() && copy.MsToBytes(1) <= 4096) {
    copy.Reverse();
    copy.ChangeVolume(-50);
    copy.InsertSilence(0, 1);
    copy.Insert(1, &wave);
    copy.Delete(0, 1);
    copy.Crop(0, 5);
    copy.Mix({&copy, &wave});
    copy.Concat({&copy, &wave}, 1);
    WAVEFORMATEX target{};
    FillPCMFormatFromCode(target, 1);
    copy.ConvertTo(&target);
    sum += Exercise(copy);
  }

  // Rewriting in the parsed format must give a wave that parses back.
  if (wave.Valid() && wave.BeginRewrite(wave.WaveFormat())) {
    wave.Write(Data, static_cast<int32_t>(Size < 64 ? Size : 64));
    wave.EndRewrite();
    sum += wave.Valid() ? 1 : 0;
  }
  return sum;
}

}  // namespace tw::fuzz
