#include "sound/Alsa.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/WaveOutErrorTexts.h"
#include "runtime/BoundedWaits.h"
#include "sound/AlsaDevice.h"
#include "sound/AlsaWorker.h"
#include "sound/KeptDevice.h"

namespace tw {
namespace {

// What a backend and its open streams share: the library, the idle PCM
// kept for the next open, and the texts of failures.
struct AlsaShared {
  std::string name;
  AlsaOutputSettings settings;
  const AlsaApi* api = nullptr;
  std::string loadError;  // why api is null
  std::shared_ptr<WaveOutErrorTexts> texts = std::make_shared<WaveOutErrorTexts>();
  std::mutex mu;
  std::unique_ptr<AlsaPcm> idle;
};

std::string Who(const std::string& name) { return "ALSA PCM \"" + name + "\": "; }

MMRESULT NoAnswer(AlsaShared& shared, const char* what) {
  if (BoundedWaitsCancelled())
    return shared.texts->Set(MMSYSERR_ERROR, Who(shared.name) + "interrupted");
  return shared.texts->Set(MMSYSERR_ERROR,
                           Who(shared.name) + "no answer within " +
                               AlsaWaitText(shared.settings.answerTime) + " (" + what +
                               "; the sound server behind the PCM may have stopped)");
}

// Opens and configures a PCM on a thread of its own, waiting answerTime at
// most: a PCM that does not answer is left to that thread, which closes it
// if the open ever returns.
MMRESULT OpenPcm(AlsaShared& shared, const AlsaPcmFormat& f, std::unique_ptr<AlsaPcm>& out) {
  struct Opening {
    std::mutex mu;
    bool done = false, abandoned = false;
    MMRESULT result = MMSYSERR_ERROR;
    std::unique_ptr<AlsaDevice> device;
    // Its own texts: an open given up may still fail later, and must not
    // change the text of the failure already reported.
    WaveOutErrorTexts texts;
  };
  auto opening = std::make_shared<Opening>();
  auto watch = std::make_shared<AlsaCallWatch>();
  RunWithin(
      [opening, watch, api = shared.api, name = shared.name, f, settings = shared.settings] {
        std::unique_ptr<AlsaDevice> device;
        const MMRESULT r = OpenAlsaDevice(*api, name, f, settings, watch, opening->texts, device);
        std::lock_guard<std::mutex> lock(opening->mu);
        opening->done = true;
        opening->result = r;
        if (!opening->abandoned) opening->device = std::move(device);
      },
      shared.settings.answerTime);
  std::lock_guard<std::mutex> lock(opening->mu);
  if (!opening->done) {
    opening->abandoned = true;
    return NoAnswer(shared, "opening it");
  }
  if (opening->result != MMSYSERR_NOERROR)
    return shared.texts->Set(opening->result, opening->texts.Get(opening->result));
  out = std::make_unique<AlsaPcm>(shared.name, std::move(opening->device), f, std::move(watch),
                                  shared.texts, shared.settings.stuckAfter);
  return MMSYSERR_NOERROR;
}

class AlsaBackend : public WaveOutBackend {
 public:
  AlsaBackend(const std::string& name, const AlsaOutputSettings& settings)
      : devices_(std::make_shared<AlsaShared>()), shared_(devices_.shared()) {
    shared_.name = name;
    shared_.settings = settings;
    shared_.api = AlsaLibrary(shared_.loadError);
  }

  MMRESULT GetCaps(WAVEOUTCAPS& caps) override {
    std::lock_guard<std::mutex> lock(capsMu_);
    if (!haveCaps_) {
      MMRESULT r = ProbeFormats(caps_.dwFormats);
      if (r != MMSYSERR_NOERROR) return r;
      const std::string pname = "ALSA " + shared_.name;
      std::snprintf(caps_.szPname, sizeof caps_.szPname, "%s", pname.c_str());
      caps_.wChannels = 2;
      caps_.dwSupport = WAVECAPS_VOLUME | WAVECAPS_LRVOLUME | WAVECAPS_SAMPLEACCURATE;
      haveCaps_ = true;
    }
    caps = caps_;
    return MMSYSERR_NOERROR;
  }

  MMRESULT Query(const WAVEFORMATEX& format) override {
    AlsaPcmFormat f;
    if (!ToAlsaPcmFormat(format, f)) return BadFormat(format);
    std::unique_ptr<AlsaPcm> pcm;
    if (const MMRESULT r = Take(f, pcm)) return r;
    devices_.Idle(std::move(pcm));
    return MMSYSERR_NOERROR;
  }

  MMRESULT Open(const WAVEFORMATEX& format, WaveOutSink& sink,
                std::unique_ptr<WaveOutStream>& stream) override {
    AlsaPcmFormat f;
    if (!ToAlsaPcmFormat(format, f)) return BadFormat(format);
    std::unique_ptr<AlsaPcm> pcm;
    if (const MMRESULT r = Take(f, pcm)) return r;
    return devices_.Hand(std::move(pcm), sink, stream);
  }

  void Recycle(std::unique_ptr<WaveOutStream> stream) override {
    devices_.Recycle(std::move(stream));
  }

  std::string ErrorText(MMRESULT code) override { return shared_.texts->Get(code); }

 private:
  MMRESULT NoLibrary() {
    return shared_.texts->Set(MMSYSERR_NODRIVER, Who(shared_.name) + shared_.loadError);
  }

  MMRESULT BadFormat(const WAVEFORMATEX& f) {
    return shared_.texts->Set(
        WAVERR_BADFORMAT, Who(shared_.name) + "format not playable (tag " +
                              std::to_string(f.wFormatTag) + ", " + std::to_string(f.nChannels) +
                              " channels, " + std::to_string(f.wBitsPerSample) +
                              " bits, block align " + std::to_string(f.nBlockAlign) + ")");
  }

  // The idle PCM when it has this format and still answers; otherwise the
  // idle one is closed for real and a new one opened.
  MMRESULT Take(const AlsaPcmFormat& f, std::unique_ptr<AlsaPcm>& out) {
    if (shared_.api == nullptr) return NoLibrary();
    const auto keep = [&](AlsaPcm& idle) -> std::optional<MMRESULT> {
      if (idle.format() == f && idle.Usable()) return MMSYSERR_NOERROR;
      return std::nullopt;
    };
    return devices_.Take(
        keep, [&](std::unique_ptr<AlsaPcm>& opened) { return OpenPcm(shared_, f, opened); }, out);
  }

  // Which of the 11025, 22050 and 44100 Hz mono/stereo 8/16-bit formats the
  // PCM accepts, asked on a thread of its own within answerTime.
  MMRESULT ProbeFormats(uint32_t& bits) {
    if (shared_.api == nullptr) return NoLibrary();
    int err = Probe(bits);
    if (err == -EBUSY) {
      // Held by our own idle PCM (a device that allows one user): let it go.
      if (std::unique_ptr<AlsaPcm> old = devices_.TakeIdle()) {
        old.reset();
        err = Probe(bits);
      }
    }
    if (err == -ETIMEDOUT) return NoAnswer(shared_, "asking it for its formats");
    if (err < 0)
      return shared_.texts->Set(AlsaOpenErrorCode(err),
                                Who(shared_.name) + shared_.api->snd_strerror(err));
    return MMSYSERR_NOERROR;
  }

  // ProbeAlsaFormats within answerTime; -ETIMEDOUT when it did not return.
  int Probe(uint32_t& bits) {
    struct Answer {
      uint32_t bits = 0;
      int err = 0;
    };
    auto answer = std::make_shared<Answer>();
    if (!RunWithin(
            [answer, api = shared_.api, name = shared_.name] {
              answer->err = ProbeAlsaFormats(*api, name, answer->bits);
            },
            shared_.settings.answerTime))
      return -ETIMEDOUT;
    bits = answer->bits;
    return answer->err;
  }

  KeptDevices<AlsaPcm, AlsaShared> devices_;
  AlsaShared& shared_;
  std::mutex capsMu_;
  bool haveCaps_ = false;
  WAVEOUTCAPS caps_{};
};

}  // namespace

std::string AlsaWaitText(std::chrono::milliseconds wait) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", static_cast<double>(wait.count()) / 1000.0);
  return text;
}

std::unique_ptr<WaveOutBackend> CreateAlsaWaveOutBackend(const std::string& pcmName) {
  return CreateAlsaWaveOutBackend(pcmName, AlsaOutputSettings{});
}

std::unique_ptr<WaveOutBackend> CreateAlsaWaveOutBackend(const std::string& pcmName,
                                                         const AlsaOutputSettings& settings) {
  return std::make_unique<AlsaBackend>(pcmName, settings);
}

}  // namespace tw
