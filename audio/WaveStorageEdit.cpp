// The container's editing and conversion operations, Reverse to Mix.

#include <algorithm>
#include <cstring>
#include <vector>

#include "audio/WaveACM.h"
#include "audio/WaveStorage.h"

namespace tw {

namespace {

// Data obtained with BeginDataAccess, released with EndDataAccess (no
// write-back) on every path.
class DataView {
 public:
  DataView() = default;
  DataView(const DataView&) = delete;
  DataView& operator=(const DataView&) = delete;
  ~DataView() { Release(); }

  bool Obtain(TWaveStreamAdapter* Wave, bool ForceCopy) {
    Release();
    if (Wave == nullptr || !Wave->BeginDataAccess(FData, ForceCopy)) return false;
    FWave = Wave;
    FSize = Wave->DataSize();
    return true;
  }
  void Release() {
    if (FWave != nullptr) FWave->EndDataAccess(FData, false);
    FWave = nullptr;
    FData = nullptr;
    FSize = 0;
  }
  uint8_t* data() const { return FData; }
  uint32_t size() const { return FSize; }

 private:
  TWaveStreamAdapter* FWave = nullptr;
  uint8_t* FData = nullptr;
  uint32_t FSize = 0;
};

}  // namespace

bool TWaveStreamAdapter::Rebuild(const WAVEFORMATEX* Format, const uint8_t* Data, uint32_t Count) {
  if (!BeginRewrite(Format)) return false;
  const int32_t written = Count > 0 ? Write(Data, static_cast<int32_t>(Count)) : 0;
  EndRewrite();
  return written > 0;
}

bool TWaveStreamAdapter::Reverse() {
  uint8_t* data = nullptr;
  if (!BeginDataAccess(data, false)) return false;
  const bool done = ReverseSamples(data, FDataSize, FWaveFormat.get());
  return EndDataAccess(data, done) && done;
}

bool TWaveStreamAdapter::ChangeVolume(int Percent) {
  uint8_t* data = nullptr;
  if (!BeginDataAccess(data, false)) return false;
  const bool done = ScaleSamples(data, FDataSize, FWaveFormat.get(), Percent);
  return EndDataAccess(data, done) && done;
}

bool TWaveStreamAdapter::ConvertTo(const WAVEFORMATEX* Format) {
  if (SameFormat(Format)) return true;
  if (Format == nullptr) return false;
  std::vector<uint8_t> converted;
  bool ok = false;
  {
    DataView own;
    if (!own.Obtain(this, false)) return false;
    const WAVEFORMATEX* from = FWaveFormat.get();
    ok = AcmConvert(from, own.data(), own.size(), converted, Format);
    if (!ok) {
      // Through PCM: the service suggests a PCM form of this wave, which is
      // then converted on to Format.
      WAVEFORMATEX pcm{};
      pcm.wFormatTag = WAVE_FORMAT_PCM;
      pcm.nChannels = from->nChannels;
      pcm.nSamplesPerSec = from->nSamplesPerSec;
      std::vector<uint8_t> temporary;
      ok = acmFormatSuggest(nullptr, from, &pcm, sizeof pcm,
                            ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NCHANNELS |
                                ACM_FORMATSUGGESTF_NSAMPLESPERSEC) == MMSYSERR_NOERROR &&
           AcmConvert(from, own.data(), own.size(), temporary, &pcm) &&
           AcmConvert(&pcm, temporary.data(), static_cast<uint32_t>(temporary.size()), converted,
                      Format);
    }
  }
  if (!ok || converted.empty()) return false;
  if (!BeginRewrite(Format)) return false;
  const int32_t written = Write(converted.data(), static_cast<int32_t>(converted.size()));
  EndRewrite();
  return written == static_cast<int32_t>(converted.size());
}

bool TWaveStreamAdapter::Copy(TWaveStreamAdapter* Source, uint32_t PosMs, uint32_t LenMs) {
  if (Source == nullptr || !Source->Valid() || LenMs == 0 || PosMs >= Source->Length()) {
    return false;
  }
  const uint32_t size = Source->DataSize();
  const uint32_t start = std::min(Source->MsToBytes(PosMs), size);
  const uint32_t end =
      static_cast<uint32_t>(std::min<uint64_t>(uint64_t{start} + Source->MsToBytes(LenMs), size));
  // Copying from itself: the view must survive the rewrite of this stream.
  DataView view;
  if (!view.Obtain(Source, Source == this)) return false;
  TWaveFormatBlock format;
  if (!format.Assign(Source->WaveFormat())) return false;
  return Rebuild(format.get(), view.data() + start, end - start);
}

bool TWaveStreamAdapter::Crop(uint32_t PosMs, uint32_t LenMs) {
  if (!Valid() || LenMs == 0 || PosMs >= Length()) return false;
  const uint32_t start = std::min(MsToBytes(PosMs), FDataSize);
  const uint32_t end =
      static_cast<uint32_t>(std::min<uint64_t>(uint64_t{start} + MsToBytes(LenMs), FDataSize));
  DataView own;
  if (!own.Obtain(this, true)) return false;
  return Rebuild(FWaveFormat.get(), own.data() + start, end - start);
}

bool TWaveStreamAdapter::Delete(uint32_t PosMs, uint32_t LenMs) {
  if (!Valid() || LenMs == 0 || PosMs >= Length()) return false;
  const uint32_t size = FDataSize;
  const uint32_t start = std::min(MsToBytes(PosMs), size);
  const uint32_t end =
      static_cast<uint32_t>(std::min<uint64_t>(uint64_t{start} + MsToBytes(LenMs), size));
  DataView own;
  if (!own.Obtain(this, true)) return false;
  std::memmove(own.data() + start, own.data() + end, size - end);
  return Rebuild(FWaveFormat.get(), own.data(), size - (end - start));
}

bool TWaveStreamAdapter::Insert(uint32_t PosMs, TWaveStreamAdapter* Wave) {
  if (Wave == nullptr || !SameFormat(Wave)) return false;
  const uint32_t size = FDataSize;
  const uint32_t at = std::min(MsToBytes(PosMs), size);
  std::vector<uint8_t> grown;
  {
    DataView own;
    if (!own.Obtain(this, true)) return false;
    DataView other;
    if (!other.Obtain(Wave, false)) return false;
    // Whatever is written goes through one Write of at most INT32_MAX bytes.
    if (uint64_t{size} + other.size() > INT32_MAX) return false;
    grown.resize(uint64_t{size} + other.size());
    std::memcpy(grown.data(), own.data(), at);
    std::memcpy(grown.data() + at, other.data(), other.size());
    std::memcpy(grown.data() + at + other.size(), own.data() + at, size - at);
  }
  return Rebuild(FWaveFormat.get(), grown.data(), static_cast<uint32_t>(grown.size()));
}

bool TWaveStreamAdapter::InsertSilence(uint32_t PosMs, uint32_t LenMs) {
  if (!Valid() || LenMs == 0) return false;
  const uint32_t size = FDataSize;
  const uint32_t at = std::min(MsToBytes(PosMs), size);
  const uint32_t silence = MsToBytes(LenMs);
  std::vector<uint8_t> grown;
  {
    DataView own;
    if (!own.Obtain(this, true)) return false;
    if (uint64_t{size} + silence > INT32_MAX) return false;
    grown.resize(uint64_t{size} + silence);
    std::memcpy(grown.data(), own.data(), at);
    std::memcpy(grown.data() + at + silence, own.data() + at, size - at);
  }
  if (!FillSilence(grown.data() + at, silence, FWaveFormat.get())) return false;
  return Rebuild(FWaveFormat.get(), grown.data(), static_cast<uint32_t>(grown.size()));
}

bool TWaveStreamAdapter::DeleteHead(uint32_t LenMs) { return Delete(0, LenMs); }

bool TWaveStreamAdapter::DeleteTail(uint32_t LenMs) {
  const uint32_t length = Length();
  LenMs = std::min(LenMs, length);
  return Delete(length - LenMs, LenMs);
}

bool TWaveStreamAdapter::Concat(const std::vector<TWaveStreamAdapter*>& Waves, uint32_t GapMs) {
  if (Waves.empty() || Waves[0] == nullptr) return false;
  TWaveFormatBlock format;
  if (!format.Assign(Waves[0]->WaveFormat())) return false;
  std::vector<uint8_t> gap;
  if (GapMs != 0 && Waves.size() >= 2) {
    gap.resize(WaveMsToBytes(format.get(), GapMs));
    if (!FillSilence(gap.data(), static_cast<uint32_t>(gap.size()), format.get())) return false;
  }
  // This container's own content, if it is among the waves, is taken
  // before the rewrite empties its stream.
  DataView self;
  const bool selfIncluded = std::find(Waves.begin(), Waves.end(), this) != Waves.end();
  const bool haveSelf = selfIncluded && self.Obtain(this, true);
  if (!BeginRewrite(format.get())) return false;
  for (size_t i = 0; i < Waves.size(); ++i) {
    if (i > 0 && !gap.empty()) Write(gap.data(), static_cast<int32_t>(gap.size()));
    DataView view;
    const uint8_t* bytes = nullptr;
    uint32_t count = 0;
    if (Waves[i] == this && haveSelf) {
      bytes = self.data();
      count = self.size();
    } else if (Waves[i] != this && view.Obtain(Waves[i], false)) {
      bytes = view.data();
      count = view.size();
    } else {
      EndRewrite();
      return false;
    }
    Write(bytes, static_cast<int32_t>(count));
  }
  EndRewrite();
  return true;
}

bool TWaveStreamAdapter::Mix(const std::vector<TWaveStreamAdapter*>& Waves) {
  if (Waves.empty() || Waves[0] == nullptr) return false;
  TWaveFormatBlock format;
  if (!format.Assign(Waves[0]->WaveFormat())) return false;
  std::vector<uint8_t> output;
  {
    std::vector<DataView> views(Waves.size());
    std::vector<TMixSource> sources(Waves.size(), TMixSource{nullptr, 0});
    uint32_t largest = 0;
    for (size_t i = 0; i < Waves.size(); ++i) {
      if (Waves[i] == nullptr || !Waves[i]->SameFormat(format.get())) return false;
      // A wave whose data cannot be had (none, or a stored size the stream
      // does not hold) contributes silence and does not lengthen the mix.
      if (views[i].Obtain(Waves[i], false)) {
        sources[i] = {views[i].data(), views[i].size()};
        largest = std::max(largest, views[i].size());
      }
    }
    output.resize(largest);
    if (!MixSamples(sources.data(), static_cast<int>(sources.size()), format.get(), largest,
                    output.data())) {
      return false;
    }
  }
  // All views are released before the rewrite: one may look into this
  // container's own stream.
  // Unlike the other edits, a mix of waves without data is a success: it
  // is the empty wave asked for.
  if (!BeginRewrite(format.get())) return false;
  if (!output.empty()) Write(output.data(), static_cast<int32_t>(output.size()));
  EndRewrite();
  return true;
}

}  // namespace tw
