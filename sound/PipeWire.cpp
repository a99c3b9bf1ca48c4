#include "sound/PipeWire.h"

#include <spa/param/audio/raw.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "sound/KeptDevice.h"
#include "sound/PipeWireConnection.h"
#include "sound/PipeWireStream.h"
#include "sound/ServerSetting.h"

namespace tw {
namespace {

constexpr uint16_t kFormatTagFloat = 3;

bool ToFormat(const WAVEFORMATEX& f, PipeWireFormat& out) {
  PipeWireFormat p;
  if (f.wFormatTag == WAVE_FORMAT_PCM) {
    switch (f.wBitsPerSample) {
      case 8:
        p.spaFormat = SPA_AUDIO_FORMAT_U8;
        p.silence = 0x80;
        break;
      case 16:
        p.spaFormat = SPA_AUDIO_FORMAT_S16_LE;
        break;
      case 24:
        p.spaFormat = SPA_AUDIO_FORMAT_S24_LE;
        break;
      case 32:
        p.spaFormat = SPA_AUDIO_FORMAT_S32_LE;
        break;
      default:
        return false;
    }
  } else if (f.wFormatTag == kFormatTagFloat && f.wBitsPerSample == 32) {
    p.spaFormat = SPA_AUDIO_FORMAT_F32_LE;
  } else {
    return false;
  }
  if (f.nChannels == 0 || f.nChannels > 32) return false;
  if (f.nSamplesPerSec == 0 || f.nSamplesPerSec > 384000) return false;
  if (f.nBlockAlign != f.nChannels * (f.wBitsPerSample / 8)) return false;
  p.rate = f.nSamplesPerSec;
  p.channels = f.nChannels;
  p.frameBytes = f.nBlockAlign;
  out = p;
  return true;
}

// The library, loaded and initialised once per process.
const PipeWireApi* LoadPipeWire(std::string& error) {
  const PipeWireApi* api = LoadPipeWireApi(error);
  static std::once_flag once;
  if (api != nullptr) std::call_once(once, [api] { api->pw_init(nullptr, nullptr); });
  return api;
}

// Shared by a backend and the streams it opened.
struct PipeWireShared {
  PipeWireOutputSettings settings;
  std::shared_ptr<PipeWireReports> reports = std::make_shared<PipeWireReports>();
  std::mutex mu;  // guards connection and idle
  std::shared_ptr<PipeWireConnection> connection;
  std::unique_ptr<PipeWireStream> idle;
};

class PipeWireBackend : public WaveOutBackend {
 public:
  explicit PipeWireBackend(const PipeWireOutputSettings& settings)
      : devices_(std::make_shared<PipeWireShared>()), shared_(devices_.shared()) {
    shared_.settings = settings;
  }

  MMRESULT GetCaps(WAVEOUTCAPS& caps) override {
    std::shared_ptr<PipeWireConnection> c;
    if (const MMRESULT r = Connection(c)) return r;
    caps = WAVEOUTCAPS{};
    const std::string& target = shared_.settings.target;
    std::snprintf(caps.szPname, sizeof caps.szPname, "PipeWire %s",
                  target.empty() ? "default" : target.c_str());
    caps.wChannels = 2;
    caps.dwFormats = (1u << 12) - 1;  // the daemon converts any of them
    caps.dwSupport = WAVECAPS_VOLUME | WAVECAPS_LRVOLUME | WAVECAPS_SAMPLEACCURATE;
    return MMSYSERR_NOERROR;
  }

  // Answers by having a stream of the format running (created now unless
  // the idle one serves), so a target or format the daemon refuses is
  // reported here, before any open.
  MMRESULT Query(const WAVEFORMATEX& format) override {
    PipeWireFormat f;
    if (!ToFormat(format, f)) return BadFormat(format);
    if (devices_.IdleFits([&](PipeWireStream& idle) {
          return idle.format() == f && (idle.InterruptedUnreported() || idle.Usable());
        }))
      return MMSYSERR_NOERROR;
    std::unique_ptr<PipeWireStream> s;
    if (const MMRESULT r = Take(f, s)) return r;
    devices_.Idle(std::move(s));
    return MMSYSERR_NOERROR;
  }

  MMRESULT Open(const WAVEFORMATEX& format, WaveOutSink& sink,
                std::unique_ptr<WaveOutStream>& stream) override {
    PipeWireFormat f;
    if (!ToFormat(format, f)) return BadFormat(format);
    std::unique_ptr<PipeWireStream> s;
    if (const MMRESULT r = Take(f, s)) return r;
    return devices_.Hand(std::move(s), sink, stream);
  }

  void Recycle(std::unique_ptr<WaveOutStream> stream) override {
    devices_.Recycle(std::move(stream));
  }

  std::string ErrorText(MMRESULT code) override { return shared_.reports->texts.Get(code); }

  // Connects now, waiting at most `timeout`; `tookIt` says whether a daemon
  // took the connection.
  MMRESULT ConnectNow(std::chrono::milliseconds timeout, bool& tookIt) {
    std::shared_ptr<PipeWireConnection> c;
    return Connection(c, timeout, &tookIt);
  }

 private:
  MMRESULT BadFormat(const WAVEFORMATEX& f) {
    return shared_.reports->texts.Set(
        WAVERR_BADFORMAT, "PipeWire output: format not playable (tag " +
                              std::to_string(f.wFormatTag) + ", " + std::to_string(f.nChannels) +
                              " channels, " + std::to_string(f.nSamplesPerSec) + " Hz, " +
                              std::to_string(f.wBitsPerSample) + " bits, block align " +
                              std::to_string(f.nBlockAlign) + ")");
  }

  // The live connection, connecting (again) when there is none.
  MMRESULT Connection(std::shared_ptr<PipeWireConnection>& out,
                      std::optional<std::chrono::milliseconds> timeout = std::nullopt,
                      bool* tookIt = nullptr) {
    std::lock_guard<std::mutex> lock(shared_.mu);
    if (shared_.connection && !shared_.connection->Lost()) {
      out = shared_.connection;
      return MMSYSERR_NOERROR;
    }
    std::string reason;
    const PipeWireApi* api = LoadPipeWire(reason);
    if (api == nullptr) return shared_.reports->texts.Set(MMSYSERR_NODRIVER, reason);
    auto c = std::make_shared<PipeWireConnection>(*api, shared_.settings);
    bool took = false;
    const MMRESULT r = c->Connect(timeout.value_or(shared_.settings.timeout), reason, took);
    if (tookIt != nullptr) *tookIt = took;
    if (r != MMSYSERR_NOERROR) return shared_.reports->texts.Set(r, reason);
    shared_.connection = c;
    out = std::move(c);
    return MMSYSERR_NOERROR;
  }

  // The idle stream when it has this format and still works (or was cut
  // off by a lost daemon and has not said so: its first write will);
  // otherwise a new one.
  MMRESULT Take(const PipeWireFormat& format, std::unique_ptr<PipeWireStream>& out) {
    const auto keep = [&](PipeWireStream& idle) -> std::optional<MMRESULT> {
      if (!(idle.format() == format)) return std::nullopt;
      if (idle.InterruptedUnreported()) return MMSYSERR_NOERROR;
      if (!idle.Usable()) return std::nullopt;
      return MMSYSERR_NOERROR;
    };
    const auto open = [&](std::unique_ptr<PipeWireStream>& opened) {
      std::shared_ptr<PipeWireConnection> c;
      if (const MMRESULT r = Connection(c)) return r;
      auto s = std::make_unique<PipeWireStream>(c, shared_.reports, format);
      if (const MMRESULT r = s->Prepare()) return r;
      opened = std::move(s);
      return MMRESULT{MMSYSERR_NOERROR};
    };
    return devices_.Take(keep, open, out);
  }

  KeptDevices<PipeWireStream, PipeWireShared> devices_;
  PipeWireShared& shared_;
};

// FRAMES/RATE or milliseconds (kept as frames of 44100 Hz).
bool ParseLatency(const std::string& text, PipeWireOutputSettings& s) {
  const size_t slash = text.find('/');
  if (slash == std::string::npos) {
    double ms = 0;
    if (!ParseLatencyMilliseconds(text, ms)) return false;
    s.latencyRate = 44100;
    s.latencyFrames = static_cast<uint32_t>(std::max(1l, std::lround(ms * 44.1)));
    return true;
  }
  const std::string frames = text.substr(0, slash), rate = text.substr(slash + 1);
  for (const std::string* part : {&frames, &rate})
    if (part->empty() || part->size() > 6 ||
        part->find_first_not_of("0123456789") != std::string::npos)
      return false;
  const unsigned long f = std::stoul(frames), r = std::stoul(rate);
  if (f < 16 || f > 8192 || r < 8000 || r > 384000) return false;
  s.latencyFrames = static_cast<uint32_t>(f);
  s.latencyRate = static_cast<uint32_t>(r);
  return true;
}

}  // namespace

bool ParsePipeWireSetting(const std::string& rest, PipeWireOutputSettings& settings) {
  ServerSettingParts parts;
  if (!SplitServerSetting(rest, parts)) return false;
  PipeWireOutputSettings s = settings;
  if (parts.latency && !ParseLatency(*parts.latency, s)) return false;
  if (!parts.name.empty()) s.target = parts.name;
  settings = s;
  return true;
}

std::unique_ptr<WaveOutBackend> CreatePipeWireWaveOutBackend(
    const PipeWireOutputSettings& settings) {
  return std::make_unique<PipeWireBackend>(settings);
}

ServerProbe ProbePipeWire(std::chrono::milliseconds timeout,
                          std::unique_ptr<WaveOutBackend>& backend, std::string& why) {
  struct stat st {};
  if (stat(PipeWireConnection::SocketPath().c_str(), &st) != 0 || !S_ISSOCK(st.st_mode))
    return ServerProbe::kAbsent;
  std::string error;
  if (LoadPipeWire(error) == nullptr) return ServerProbe::kAbsent;
  auto candidate = std::make_unique<PipeWireBackend>(PipeWireOutputSettings{});
  bool tookIt = false;
  const MMRESULT r = candidate->ConnectNow(timeout, tookIt);
  if (r == MMSYSERR_NOERROR) {
    backend = std::move(candidate);
    return ServerProbe::kAnswered;
  }
  if (!tookIt) return ServerProbe::kAbsent;
  why = candidate->ErrorText(r);
  return ServerProbe::kNotAnswering;
}

}  // namespace tw
