#include "sound/Pulse.h"

#include "sound/PulseApi.h"
#include "sound/PulseConnection.h"
#include "sound/PulseFormat.h"
#include "sound/PulseStream.h"
#include "sound/ServerBackend.h"

namespace tw {
namespace {

// The sound server for ServerBackend (sound/ServerBackend.h says what each
// member is for).
struct PulseSystem {
  using Settings = PulseOutputSettings;
  using Format = pa_sample_spec;
  using Stream = PulseStream;
  using Connection = PulseConnection;
  using Reports = PulseReports;
  static constexpr const char* kName = "PulseAudio";

  static bool ToFormat(const WAVEFORMATEX& f, pa_sample_spec& out) {
    return ToSampleFormat(f, out);
  }
  static bool SameFormat(const pa_sample_spec& a, const pa_sample_spec& b) {
    return SameSampleFormat(a, b);
  }
  static const std::string& Place(const Settings& s) { return s.sink; }
  static bool Lost(PulseConnection& c) { return c.LostNow(); }
  static std::shared_ptr<PulseConnection> NewConnection(const Settings& s, std::string& reason) {
    const PulseApi* api = LoadPulseApi(reason);
    if (api == nullptr) return nullptr;
    SetPulseApi(api);
    return std::make_shared<PulseConnection>(s);
  }
  // After a drain given up, the stream's server stream is made anew here.
  static MMRESULT Reuse(PulseStream& idle) { return idle.Prepare(); }
};

using PulseBackend = ServerBackend<PulseSystem>;

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
  return ProbeServer<PulseSystem>(timeout, backend, why);
}

}  // namespace tw
