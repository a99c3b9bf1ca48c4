#pragma once
// The backend of the outputs that play through a sound daemon (the sound
// server, PipeWire): one connection, made when first needed and made anew
// once lost, and one daemon stream per format kept across opens
// (sound/KeptDevice.h). An open or a query takes the idle stream when it
// has the format and still works, or was cut off by a lost daemon and has
// not said so yet (its first write will); otherwise a new stream is made.
//
// What differs between the daemons comes in as System, a class of types and
// static functions:
//   Settings (with `timeout`, the longest wait for the daemon), Format,
//   Stream (the Device of KeptDevices, made from (connection, reports,
//   format), with Prepare, Usable, InterruptedUnreported, connection()),
//   Connection (with Connect(timeout, reason, tookIt)), Reports (with
//   `texts`, a WaveOutErrorTexts);
//   kName                      the daemon as failure texts and caps name it;
//   ToFormat(WAVEFORMATEX, Format&)   false for a format it cannot play;
//   SameFormat(Format, Format);
//   Place(Settings)            the sink or target, empty for the default;
//   Lost(Connection&)          the connection failed (may take its lock);
//   NewConnection(Settings, reason)   an unconnected connection, loading the
//                              client library first: null, with the reason
//                              naming the library, when it cannot be loaded;
//   Reuse(Stream&)             readies an idle stream of this connection for
//                              another open (0, or the failure to report).

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "sound/Backend.h"
#include "sound/KeptDevice.h"
#include "sound/ServerProbe.h"

namespace tw {

template <class System>
class ServerBackend final : public WaveOutBackend {
  using Settings = typename System::Settings;
  using Format = typename System::Format;
  using Stream = typename System::Stream;
  using Connection = typename System::Connection;
  using Reports = typename System::Reports;

  // Shared by the backend and the opens it handed out.
  struct Shared {
    Settings settings;
    std::shared_ptr<Reports> reports = std::make_shared<Reports>();
    std::mutex mu;  // guards connection and idle
    std::shared_ptr<Connection> connection;
    std::unique_ptr<Stream> idle;
  };

 public:
  explicit ServerBackend(const Settings& settings)
      : devices_(std::make_shared<Shared>()), shared_(devices_.shared()) {
    shared_.settings = settings;
  }

  MMRESULT GetCaps(WAVEOUTCAPS& caps) override {
    std::shared_ptr<Connection> c;
    if (const MMRESULT r = Connect(c)) return r;
    caps = WAVEOUTCAPS{};
    const std::string& place = System::Place(shared_.settings);
    std::snprintf(caps.szPname, sizeof caps.szPname, "%s %s", System::kName,
                  place.empty() ? "default" : place.c_str());
    caps.wChannels = 2;
    caps.dwFormats = (1u << 12) - 1;  // the daemon converts any of them
    caps.dwSupport = WAVECAPS_VOLUME | WAVECAPS_LRVOLUME | WAVECAPS_SAMPLEACCURATE;
    return MMSYSERR_NOERROR;
  }

  // Answers by having a stream of the format ready (made now unless the idle
  // one serves), so a target or format the daemon refuses is reported here,
  // before any open. The stream waits idle for the open.
  MMRESULT Query(const WAVEFORMATEX& format) override {
    Format f;
    if (!System::ToFormat(format, f)) return BadFormat(format);
    if (devices_.IdleFits([&](Stream& idle) {
          return System::SameFormat(idle.format(), f) &&
                 (idle.InterruptedUnreported() || idle.Usable());
        }))
      return MMSYSERR_NOERROR;
    std::unique_ptr<Stream> s;
    if (const MMRESULT r = Take(f, s)) return r;
    devices_.Idle(std::move(s));
    return MMSYSERR_NOERROR;
  }

  MMRESULT Open(const WAVEFORMATEX& format, WaveOutSink& sink,
                std::unique_ptr<WaveOutStream>& stream) override {
    Format f;
    if (!System::ToFormat(format, f)) return BadFormat(format);
    std::unique_ptr<Stream> s;
    if (const MMRESULT r = Take(f, s)) return r;
    return devices_.Hand(std::move(s), sink, stream);
  }

  void Recycle(std::unique_ptr<WaveOutStream> stream) override {
    devices_.Recycle(std::move(stream));
  }

  std::string ErrorText(MMRESULT code) override { return shared_.reports->texts.Get(code); }

  // Connects now, waiting at most `timeout`; `tookIt` says whether a daemon
  // took the connection (false when none listens). The failure text is kept
  // for ErrorText.
  MMRESULT ConnectNow(std::chrono::milliseconds timeout, bool& tookIt) {
    std::shared_ptr<Connection> c;
    return Connect(c, timeout, &tookIt);
  }

 private:
  MMRESULT BadFormat(const WAVEFORMATEX& f) {
    return shared_.reports->texts.Set(
        WAVERR_BADFORMAT, std::string(System::kName) + " output: format not playable (tag " +
                              std::to_string(f.wFormatTag) + ", " + std::to_string(f.nChannels) +
                              " channels, " + std::to_string(f.nSamplesPerSec) + " Hz, " +
                              std::to_string(f.wBitsPerSample) + " bits, block align " +
                              std::to_string(f.nBlockAlign) + ")");
  }

  // The live connection, connecting (again) when there is none.
  MMRESULT Connect(std::shared_ptr<Connection>& out,
                   std::optional<std::chrono::milliseconds> timeout = std::nullopt,
                   bool* tookIt = nullptr) {
    std::lock_guard<std::mutex> lock(shared_.mu);
    if (shared_.connection && !System::Lost(*shared_.connection)) {
      out = shared_.connection;
      return MMSYSERR_NOERROR;
    }
    std::string reason;
    std::shared_ptr<Connection> c = System::NewConnection(shared_.settings, reason);
    if (c == nullptr) return shared_.reports->texts.Set(MMSYSERR_NODRIVER, reason);
    bool took = false;
    const MMRESULT r = c->Connect(timeout.value_or(shared_.settings.timeout), reason, took);
    if (tookIt != nullptr) *tookIt = took;
    if (r != MMSYSERR_NOERROR) return shared_.reports->texts.Set(r, reason);
    shared_.connection = c;
    out = std::move(c);
    return MMSYSERR_NOERROR;
  }

  bool OnCurrentConnection(const Stream& stream) {
    std::lock_guard<std::mutex> lock(shared_.mu);
    return stream.connection() == shared_.connection.get();
  }

  MMRESULT Take(const Format& format, std::unique_ptr<Stream>& out) {
    const auto keep = [&](Stream& idle) -> std::optional<MMRESULT> {
      if (!System::SameFormat(idle.format(), format)) return std::nullopt;
      if (idle.InterruptedUnreported()) return MMSYSERR_NOERROR;
      // Usable means its connection is not lost, and a connection is only
      // replaced once lost: one that is not the backend's is an old one.
      if (!idle.Usable() || !OnCurrentConnection(idle)) return std::nullopt;
      return System::Reuse(idle);
    };
    const auto open = [&](std::unique_ptr<Stream>& opened) {
      std::shared_ptr<Connection> c;
      if (const MMRESULT r = Connect(c)) return r;
      auto s = std::make_unique<Stream>(c, shared_.reports, format);
      if (const MMRESULT r = s->Prepare()) return r;
      opened = std::move(s);
      return MMRESULT{MMSYSERR_NOERROR};
    };
    return devices_.Take(keep, open, out);
  }

  KeptDevices<Stream, Shared> devices_;
  Shared& shared_;
};

// The look of the default output at one daemon, through a backend of
// default settings: kAnswered (the backend connected, in `backend`) when it
// answers within `timeout`; kAbsent when nothing took the connection;
// kNotAnswering, with `why` naming the daemon, when one took it and did not
// answer (a frozen one).
template <class System>
ServerProbe ProbeServer(std::chrono::milliseconds timeout, std::unique_ptr<WaveOutBackend>& backend,
                        std::string& why) {
  auto candidate = std::make_unique<ServerBackend<System>>(typename System::Settings{});
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
