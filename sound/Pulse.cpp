#include "sound/Pulse.h"

#include <cstdio>
#include <mutex>
#include <optional>

#include "sound/KeptDevice.h"
#include "sound/PulseApi.h"
#include "sound/PulseConnection.h"
#include "sound/PulseFormat.h"
#include "sound/PulseStream.h"

namespace tw {
namespace {

// Shared by a backend and the devices it opened.
struct PulseShared {
  PulseOutputSettings settings;
  std::shared_ptr<PulseReports> reports = std::make_shared<PulseReports>();
  std::mutex mu;  // guards connection and idle
  std::shared_ptr<PulseConnection> connection;
  std::unique_ptr<PulseStream> idle;
};

// The backend: an open takes the kept server stream of its format, or a
// new one, and its close gives it back (sound/KeptDevice.h).
class PulseBackend : public WaveOutBackend {
 public:
  explicit PulseBackend(const PulseOutputSettings& settings)
      : devices_(std::make_shared<PulseShared>()), shared_(devices_.shared()) {
    shared_.settings = settings;
  }

  MMRESULT GetCaps(WAVEOUTCAPS& caps) override {
    std::shared_ptr<PulseConnection> c;
    if (const MMRESULT r = Connection(c)) return r;
    caps = WAVEOUTCAPS{};
    const std::string name =
        "PulseAudio " +
        (shared_.settings.sink.empty() ? std::string("default") : shared_.settings.sink);
    std::snprintf(caps.szPname, sizeof caps.szPname, "%s", name.c_str());
    caps.wChannels = 2;
    caps.dwFormats = (1u << 12) - 1;  // the server converts any of them
    caps.dwSupport = WAVECAPS_VOLUME | WAVECAPS_LRVOLUME | WAVECAPS_SAMPLEACCURATE;
    return MMSYSERR_NOERROR;
  }

  // Answers by having a stream of the format ready (created now when the
  // idle one is of another format or broken), so a sink or format the
  // server refuses is reported here, before any open. The stream waits idle
  // for the open.
  MMRESULT Query(const WAVEFORMATEX& format) override {
    pa_sample_spec sampleFormat;
    if (!ToSampleFormat(format, sampleFormat)) return BadFormat(format);
    // A stream cut off by a lost server is handed to the next open, whose
    // first write says so; the query does not end the run before that.
    if (devices_.IdleFits([&](PulseStream& idle) {
          return SameSampleFormat(idle.sampleFormat(), sampleFormat) &&
                 (idle.InterruptedUnreported() || idle.Usable());
        }))
      return MMSYSERR_NOERROR;
    std::unique_ptr<PulseStream> s;
    if (const MMRESULT r = Take(sampleFormat, s)) return r;
    devices_.Idle(std::move(s));
    return MMSYSERR_NOERROR;
  }

  MMRESULT Open(const WAVEFORMATEX& format, WaveOutSink& sink,
                std::unique_ptr<WaveOutStream>& stream) override {
    pa_sample_spec sampleFormat;
    if (!ToSampleFormat(format, sampleFormat)) return BadFormat(format);
    std::unique_ptr<PulseStream> s;
    if (const MMRESULT r = Take(sampleFormat, s)) return r;
    return devices_.Hand(std::move(s), sink, stream);
  }

  void Recycle(std::unique_ptr<WaveOutStream> stream) override {
    devices_.Recycle(std::move(stream));
  }

  std::string ErrorText(MMRESULT code) override { return shared_.reports->texts.Get(code); }

  // Connects now, waiting at most `timeout`; the failure text is recorded
  // for ErrorText.
  MMRESULT ConnectNow(std::chrono::milliseconds timeout, bool& tookIt) {
    std::shared_ptr<PulseConnection> c;
    return Connection(c, timeout, &tookIt);
  }

 private:
  MMRESULT BadFormat(const WAVEFORMATEX& f) {
    return shared_.reports->texts.Set(
        WAVERR_BADFORMAT, "PulseAudio output: format not playable (tag " +
                              std::to_string(f.wFormatTag) + ", " + std::to_string(f.nChannels) +
                              " channels, " + std::to_string(f.nSamplesPerSec) + " Hz, " +
                              std::to_string(f.wBitsPerSample) + " bits, block align " +
                              std::to_string(f.nBlockAlign) + ")");
  }

  // The live connection, connecting (again) when there is none.
  MMRESULT Connection(std::shared_ptr<PulseConnection>& out) {
    return Connection(out, shared_.settings.timeout);
  }
  MMRESULT Connection(std::shared_ptr<PulseConnection>& out, std::chrono::milliseconds timeout,
                      bool* tookIt = nullptr) {
    std::lock_guard<std::mutex> lock(shared_.mu);
    if (shared_.connection && !shared_.connection->LostNow()) {
      out = shared_.connection;
      return MMSYSERR_NOERROR;
    }
    std::string reason;
    const PulseApi* api = LoadPulseApi(reason);
    if (api == nullptr) return shared_.reports->texts.Set(MMSYSERR_NODRIVER, reason);
    SetPulseApi(api);
    auto c = std::make_shared<PulseConnection>(shared_.settings);
    bool took = false;
    const MMRESULT r = c->Connect(timeout, reason, took);
    if (tookIt != nullptr) *tookIt = took;
    if (r != MMSYSERR_NOERROR) return shared_.reports->texts.Set(r, reason);
    shared_.connection = c;
    out = std::move(c);
    return MMSYSERR_NOERROR;
  }

  // The idle stream when it has this format and still works (or when it was
  // cut off by a lost server and has not said so yet: its first write will);
  // otherwise a new one.
  MMRESULT Take(const pa_sample_spec& sampleFormat, std::unique_ptr<PulseStream>& out) {
    const auto keep = [&](PulseStream& idle) -> std::optional<MMRESULT> {
      if (!SameSampleFormat(idle.sampleFormat(), sampleFormat)) return std::nullopt;
      if (idle.InterruptedUnreported()) return MMSYSERR_NOERROR;
      if (!idle.Usable()) return std::nullopt;
      std::shared_ptr<PulseConnection> c;
      if (const MMRESULT r = Connection(c)) return r;
      if (idle.connection() != c.get()) return std::nullopt;
      return idle.Prepare();  // after a drain given up, a new server stream
    };
    const auto open = [&](std::unique_ptr<PulseStream>& opened) {
      std::shared_ptr<PulseConnection> c;
      if (const MMRESULT r = Connection(c)) return r;
      auto s = std::make_unique<PulseStream>(c, shared_.reports, sampleFormat);
      if (const MMRESULT r = s->Prepare()) return r;
      opened = std::move(s);
      return MMRESULT{MMSYSERR_NOERROR};
    };
    return devices_.Take(keep, open, out);
  }

  KeptDevices<PulseStream, PulseShared> devices_;
  PulseShared& shared_;
};

}  // namespace

std::unique_ptr<WaveOutBackend> CreatePulseWaveOutBackend(const PulseOutputSettings& settings) {
  return std::make_unique<PulseBackend>(settings);
}

std::unique_ptr<WaveOutBackend> ConnectPulseWaveOutBackend(const PulseOutputSettings& settings,
                                                           std::chrono::milliseconds timeout) {
  auto backend = std::make_unique<PulseBackend>(settings);
  bool tookIt = false;
  if (backend->ConnectNow(timeout, tookIt) != MMSYSERR_NOERROR) return nullptr;
  return backend;
}

ServerProbe ProbePulse(std::chrono::milliseconds timeout, std::unique_ptr<WaveOutBackend>& backend,
                       std::string& why) {
  auto candidate = std::make_unique<PulseBackend>(PulseOutputSettings{});
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
