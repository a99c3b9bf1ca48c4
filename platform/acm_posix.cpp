#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/AcmChecks.h"
#include "platform/ClientLibrary.h"
#include "platform/msacm.h"

namespace tw {

struct ACMStreamObject {
  WAVEFORMATEX source;
  WAVEFORMATEX dest;
};

namespace {

constexpr uint32_t kMinRate = 1000;
constexpr uint32_t kMaxRate = 384000;

// A PCM record this service reads and writes, consistent in itself.
bool Convertible(const WAVEFORMATEX* f) {
  return f != nullptr && f->wFormatTag == WAVE_FORMAT_PCM &&
         (f->wBitsPerSample == 8 || f->wBitsPerSample == 16) &&
         (f->nChannels == 1 || f->nChannels == 2) && f->nSamplesPerSec >= kMinRate &&
         f->nSamplesPerSec <= kMaxRate && f->nBlockAlign == f->nChannels * f->wBitsPerSample / 8;
}

// The resampler's functions, loaded when a conversion first changes the
// rate: nothing else needs the library (a battle never converts), so a run
// does not pay for loading it and its OpenMP runtime at start.
#define TW_SOXR_FUNCTIONS(X) X(soxr_io_spec) X(soxr_oneshot) X(soxr_quality_spec)
TW_CLIENT_LIBRARY_TABLE(SoxrApi, TW_SOXR_FUNCTIONS);

// The resampler; null when it cannot be loaded, which is said once on
// standard error naming the library and its package.
const SoxrApi* Resampler() {
  std::string error;
  const SoxrApi* api = LoadClientApi<SoxrApi>({"libsoxr.so.0", "libsoxr0"}, error);
  if (api == nullptr) {
    static std::once_flag said;
    std::call_once(said, [&] {
      std::fprintf(stderr,
                   "Format conversion: %s; conversions to another rate fail (reported once)\n",
                   error.c_str());
    });
  }
  return api;
}

// Resamples `inFrames` interleaved frames of `channels` channels from
// `inRate` to `outRate` into `out` (room for `outFrames`); the frames made,
// or -1 when the resampler fails or cannot be loaded.
int64_t Resample(const std::vector<double>& in, uint64_t inFrames, uint32_t inRate,
                 uint32_t outRate, unsigned channels, std::vector<double>& out,
                 uint64_t outFrames) {
  const SoxrApi* soxr = Resampler();
  if (soxr == nullptr) return -1;
  const soxr_io_spec_t io = soxr->soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
  const soxr_quality_spec_t quality = soxr->soxr_quality_spec(SOXR_HQ, 0);
  size_t done = 0;
  const soxr_error_t error =
      soxr->soxr_oneshot(inRate, outRate, channels, in.data(), inFrames, nullptr, out.data(),
                         outFrames, &done, &io, &quality, nullptr);
  if (error != nullptr) return -1;
  return static_cast<int64_t>(done);
}

uint64_t OutputFrames(uint64_t inFrames, uint32_t inRate, uint32_t outRate) {
  // Rounded to the nearest frame, as a resampler of whole signals gives.
  return (inFrames * outRate + inRate / 2) / inRate;
}

double Decode(const uint8_t* p, int bits) {
  if (bits == 8) return (static_cast<int>(p[0]) - 128) / 128.0;
  return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8))) / 32768.0;
}

void Encode(double x, uint8_t* p, int bits) {
  if (bits == 8) {
    const long v = std::lround(x * 128.0) + 128;
    p[0] = static_cast<uint8_t>(std::clamp<long>(v, 0, 255));
    return;
  }
  const long v = std::clamp<long>(std::lround(x * 32768.0), -32768, 32767);
  p[0] = static_cast<uint8_t>(v & 0xFF);
  p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}

// Converts frames of Source into at most maxFrames frames of Dest; returns
// the frames produced, or -1 when the resampler fails.
int64_t ConvertFrames(const WAVEFORMATEX& src, const uint8_t* in, uint64_t inFrames,
                      const WAVEFORMATEX& dst, uint8_t* out, uint64_t maxFrames) {
  const int inCh = src.nChannels;
  const int outCh = dst.nChannels;
  const int inBytes = src.wBitsPerSample / 8;
  const int outBytes = dst.wBitsPerSample / 8;
  // Channels first, in the destination's count: mono is duplicated, stereo
  // averaged.
  std::vector<double> mapped(inFrames * outCh);
  for (uint64_t f = 0; f < inFrames; ++f) {
    const uint8_t* frame = in + f * src.nBlockAlign;
    if (inCh == outCh) {
      for (int c = 0; c < outCh; ++c)
        mapped[f * outCh + c] = Decode(frame + c * inBytes, src.wBitsPerSample);
    } else if (inCh == 1) {
      const double v = Decode(frame, src.wBitsPerSample);
      mapped[f * 2] = v;
      mapped[f * 2 + 1] = v;
    } else {
      mapped[f] =
          (Decode(frame, src.wBitsPerSample) + Decode(frame + inBytes, src.wBitsPerSample)) / 2;
    }
  }
  const std::vector<double>* samples = &mapped;
  std::vector<double> resampled;
  uint64_t frames = inFrames;
  if (src.nSamplesPerSec != dst.nSamplesPerSec && inFrames > 0) {
    frames = OutputFrames(inFrames, src.nSamplesPerSec, dst.nSamplesPerSec);
    // A handful of input frames at a large rate ratio makes no output frame;
    // the resampler must not be asked for zero frames into no buffer.
    if (frames == 0) return 0;
    resampled.assign(frames * outCh, 0.0);
    const int64_t done = Resample(mapped, inFrames, src.nSamplesPerSec, dst.nSamplesPerSec,
                                  static_cast<unsigned>(outCh), resampled, frames);
    if (done < 0) return -1;
    frames = static_cast<uint64_t>(done);
    samples = &resampled;
  }
  frames = std::min(frames, maxFrames);
  for (uint64_t f = 0; f < frames; ++f) {
    for (int c = 0; c < outCh; ++c) {
      Encode((*samples)[f * outCh + c], out + f * dst.nBlockAlign + c * outBytes,
             dst.wBitsPerSample);
    }
  }
  return static_cast<int64_t>(frames);
}

}  // namespace

MMRESULT acmStreamOpen(HACMSTREAM* Stream, HACMDRIVER Driver, const WAVEFORMATEX* Source,
                       const WAVEFORMATEX* Dest, void* Filter, uintptr_t Callback,
                       uintptr_t Instance, uint32_t Flags) {
  if (const MMRESULT bad = CheckStreamOpenArguments(Stream, Driver, Source, Dest, Filter, Callback,
                                                    Instance, Flags)) {
    return bad;
  }
  const bool query = (Flags & ACM_STREAMOPENF_QUERY) != 0;
  if (!Convertible(Source) || !Convertible(Dest)) return ACMERR_NOTPOSSIBLE;
  if (query) return MMSYSERR_NOERROR;
  auto* object = new (std::nothrow) ACMStreamObject{*Source, *Dest};
  if (object == nullptr) return MMSYSERR_NOMEM;
  *Stream = object;
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamClose(HACMSTREAM Stream, uint32_t /*Flags*/) {
  if (Stream == nullptr) return MMSYSERR_INVALHANDLE;
  delete Stream;
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamSize(HACMSTREAM Stream, uint32_t Input, uint32_t* Output, uint32_t Flags) {
  if (Stream == nullptr) return MMSYSERR_INVALHANDLE;
  if (Output == nullptr || (Flags & ~ACM_STREAMSIZEF_DESTINATION) != 0) return MMSYSERR_INVALPARAM;
  const bool fromSource = Flags == ACM_STREAMSIZEF_SOURCE;
  const WAVEFORMATEX& in = fromSource ? Stream->source : Stream->dest;
  const WAVEFORMATEX& out = fromSource ? Stream->dest : Stream->source;
  const uint64_t inFrames = Input / in.nBlockAlign;
  // Rounded up: a size asked for must hold whatever the conversion gives.
  const uint64_t outFrames =
      (inFrames * out.nSamplesPerSec + in.nSamplesPerSec - 1) / in.nSamplesPerSec;
  const uint64_t bytes = outFrames * out.nBlockAlign;
  if (bytes > UINT32_MAX) return ACMERR_NOTPOSSIBLE;
  *Output = static_cast<uint32_t>(bytes);
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamPrepareHeader(HACMSTREAM Stream, ACMSTREAMHEADER* Header, uint32_t /*Flags*/) {
  if (Stream == nullptr) return MMSYSERR_INVALHANDLE;
  if (!PreparableHeader(Header)) return MMSYSERR_INVALPARAM;
  Header->fdwStatus |= ACMSTREAMHEADER_STATUSF_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamUnprepareHeader(HACMSTREAM Stream, ACMSTREAMHEADER* Header, uint32_t /*Flags*/) {
  if (Stream == nullptr) return MMSYSERR_INVALHANDLE;
  if (Header == nullptr || (Header->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED) == 0) {
    return MMSYSERR_INVALPARAM;
  }
  Header->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamConvert(HACMSTREAM Stream, ACMSTREAMHEADER* Header, uint32_t /*Flags*/) {
  if (Stream == nullptr) return MMSYSERR_INVALHANDLE;
  if (Header == nullptr || Header->cbStruct < sizeof(ACMSTREAMHEADER)) return MMSYSERR_INVALPARAM;
  if ((Header->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED) == 0) return ACMERR_UNPREPARED;
  const WAVEFORMATEX& src = Stream->source;
  const WAVEFORMATEX& dst = Stream->dest;
  const uint64_t inFrames = Header->cbSrcLength / src.nBlockAlign;
  const uint64_t maxFrames = Header->cbDstLength / dst.nBlockAlign;
  int64_t frames = -1;
  try {
    frames = ConvertFrames(src, Header->pbSrc, inFrames, dst, Header->pbDst, maxFrames);
  } catch (const std::bad_alloc&) {
    return MMSYSERR_NOMEM;
  }
  if (frames < 0) return MMSYSERR_ERROR;
  Header->cbSrcLengthUsed = static_cast<uint32_t>(inFrames * src.nBlockAlign);
  Header->cbDstLengthUsed = static_cast<uint32_t>(frames * dst.nBlockAlign);
  Header->fdwStatus |= ACMSTREAMHEADER_STATUSF_DONE;
  return MMSYSERR_NOERROR;
}

MMRESULT acmFormatSuggest(HACMDRIVER Driver, const WAVEFORMATEX* Source, WAVEFORMATEX* Dest,
                          uint32_t DestSize, uint32_t Flags) {
  if (Driver != nullptr || Source == nullptr || Dest == nullptr ||
      DestSize < sizeof(WAVEFORMATEX)) {
    return MMSYSERR_INVALPARAM;
  }
  if (!Convertible(Source)) return ACMERR_NOTPOSSIBLE;
  WAVEFORMATEX s{};
  s.wFormatTag = WAVE_FORMAT_PCM;
  if ((Flags & ACM_FORMATSUGGESTF_WFORMATTAG) != 0 && Dest->wFormatTag != WAVE_FORMAT_PCM) {
    return ACMERR_NOTPOSSIBLE;
  }
  s.nChannels = (Flags & ACM_FORMATSUGGESTF_NCHANNELS) != 0 ? Dest->nChannels : Source->nChannels;
  s.nSamplesPerSec = (Flags & ACM_FORMATSUGGESTF_NSAMPLESPERSEC) != 0 ? Dest->nSamplesPerSec
                                                                      : Source->nSamplesPerSec;
  s.wBitsPerSample = (Flags & ACM_FORMATSUGGESTF_WBITSPERSAMPLE) != 0 ? Dest->wBitsPerSample
                                                                      : Source->wBitsPerSample;
  s.nBlockAlign = static_cast<uint16_t>(s.nChannels * s.wBitsPerSample / 8);
  s.nAvgBytesPerSec = s.nBlockAlign * s.nSamplesPerSec;
  s.cbSize = 0;
  if (!Convertible(&s)) return ACMERR_NOTPOSSIBLE;
  *Dest = s;
  return MMSYSERR_NOERROR;
}

}  // namespace tw
