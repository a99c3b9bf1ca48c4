#include "sound/ServerProbe.h"

namespace tw {
namespace {

class UnansweringBackend : public WaveOutBackend {
 public:
  explicit UnansweringBackend(std::string text) : text_(std::move(text)) {}
  MMRESULT GetCaps(WAVEOUTCAPS&) override { return MMSYSERR_NODRIVER; }
  MMRESULT Query(const WAVEFORMATEX&) override { return MMSYSERR_NODRIVER; }
  MMRESULT Open(const WAVEFORMATEX&, WaveOutSink&, std::unique_ptr<WaveOutStream>&) override {
    return MMSYSERR_NODRIVER;
  }
  std::string ErrorText(MMRESULT code) override {
    return code == MMSYSERR_NODRIVER ? text_ : std::string();
  }

 private:
  const std::string text_;
};

}  // namespace

std::unique_ptr<WaveOutBackend> CreateUnansweringWaveOutBackend(std::string text) {
  return std::make_unique<UnansweringBackend>(std::move(text));
}

}  // namespace tw
