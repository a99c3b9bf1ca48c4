#include "sound/PipeWire.h"

#include <spa/param/audio/raw.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <mutex>

#include "sound/PipeWireConnection.h"
#include "sound/PipeWireStream.h"
#include "sound/ServerBackend.h"
#include "sound/ServerSetting.h"

namespace tw {
namespace {

constexpr uint16_t kFormatTagFloat = 3;

bool ToPipeWireFormat(const WAVEFORMATEX& f, PipeWireFormat& out) {
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

// PipeWire for ServerBackend (sound/ServerBackend.h says what each member
// is for).
struct PipeWireSystem {
  using Settings = PipeWireOutputSettings;
  using Format = PipeWireFormat;
  using Stream = PipeWireStream;
  using Connection = PipeWireConnection;
  using Reports = PipeWireReports;
  static constexpr const char* kName = "PipeWire";

  static bool ToFormat(const WAVEFORMATEX& f, PipeWireFormat& out) {
    return ToPipeWireFormat(f, out);
  }
  static bool SameFormat(const PipeWireFormat& a, const PipeWireFormat& b) { return a == b; }
  static const std::string& Place(const Settings& s) { return s.target; }
  static bool Lost(PipeWireConnection& c) { return c.Lost(); }
  static std::shared_ptr<PipeWireConnection> NewConnection(const Settings& s, std::string& reason) {
    const PipeWireApi* api = LoadPipeWire(reason);
    if (api == nullptr) return nullptr;
    return std::make_shared<PipeWireConnection>(*api, s);
  }
  // An idle stream goes on running with silence: nothing to make anew.
  static MMRESULT Reuse(PipeWireStream&) { return MMSYSERR_NOERROR; }
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
  return std::make_unique<ServerBackend<PipeWireSystem>>(settings);
}

ServerProbe ProbePipeWire(std::chrono::milliseconds timeout,
                          std::unique_ptr<WaveOutBackend>& backend, std::string& why) {
  struct stat st {};
  if (stat(PipeWireConnection::SocketPath().c_str(), &st) != 0 || !S_ISSOCK(st.st_mode))
    return ServerProbe::kAbsent;
  std::string error;
  if (LoadPipeWire(error) == nullptr) return ServerProbe::kAbsent;
  return ProbeServer<PipeWireSystem>(timeout, backend, why);
}

}  // namespace tw
