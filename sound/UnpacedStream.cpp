#include "sound/UnpacedStream.h"

#include "platform/PlayableFormats.h"

namespace tw {

UnpacedWaveOutStream::UnpacedWaveOutStream(const WAVEFORMATEX& format, WaveOutSink& sink,
                                           bool supportsVolume)
    : format_(format), sink_(&sink), supportsVolume_(supportsVolume) {}

void UnpacedWaveOutStream::Reopen(const WAVEFORMATEX& format, WaveOutSink& sink) {
  std::lock_guard<std::recursive_mutex> reporting(reportMutex_);
  std::lock_guard<std::mutex> lock(mutex_);
  format_ = format;
  sink_ = &sink;
  waiting_.clear();
  played_.clear();
  paused_ = false;
  closed_ = false;
  playedBytes_ = 0;
  volume_ = 0xFFFFFFFFu;
}

MMRESULT UnpacedWaveOutStream::Write(WAVEHDR* header) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return MMSYSERR_INVALHANDLE;
    if (paused_) {
      waiting_.push(header);
      return MMSYSERR_NOERROR;
    }
    const MMRESULT result = Play(*header);
    if (result != MMSYSERR_NOERROR) return result;
    playedBytes_ += PlayBytes(*header);
    played_.push(header);
  }
  ReportPlayed();
  return MMSYSERR_NOERROR;
}

void UnpacedWaveOutStream::ReportPlayed() {
  std::lock_guard<std::recursive_mutex> reporting(reportMutex_);
  for (;;) {
    WAVEHDR* header;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (played_.empty()) return;
      header = played_.pop();
    }
    sink_->BufferDone(header);
  }
}

MMRESULT UnpacedWaveOutStream::Reset() {
  std::lock_guard<std::recursive_mutex> reporting(reportMutex_);
  std::vector<WAVEHDR*> returned;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return MMSYSERR_INVALHANDLE;
    while (!played_.empty()) returned.push_back(played_.pop());
    while (!waiting_.empty()) returned.push_back(waiting_.pop());
    playedBytes_ = 0;
  }
  for (WAVEHDR* header : returned) sink_->BufferDone(header);
  return MMSYSERR_NOERROR;
}

MMRESULT UnpacedWaveOutStream::Pause() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return MMSYSERR_INVALHANDLE;
  paused_ = true;
  return MMSYSERR_NOERROR;
}

MMRESULT UnpacedWaveOutStream::Restart() {
  MMRESULT first = MMSYSERR_NOERROR;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return MMSYSERR_INVALHANDLE;
    if (!paused_) return MMSYSERR_NOERROR;
    paused_ = false;
    while (!waiting_.empty()) {
      WAVEHDR* header = waiting_.pop();
      const MMRESULT result = Play(*header);
      if (result == MMSYSERR_NOERROR) {
        playedBytes_ += PlayBytes(*header);
      } else if (first == MMSYSERR_NOERROR) {
        first = result;
      }
      played_.push(header);
    }
  }
  ReportPlayed();
  return first;
}

MMRESULT UnpacedWaveOutStream::GetPosition(uint64_t& frames) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return MMSYSERR_INVALHANDLE;
  frames = format_.nBlockAlign == 0 ? 0 : playedBytes_ / format_.nBlockAlign;
  return MMSYSERR_NOERROR;
}

MMRESULT UnpacedWaveOutStream::GetVolume(uint32_t& volume) {
  if (!supportsVolume_) return MMSYSERR_NOTSUPPORTED;
  std::lock_guard<std::mutex> lock(mutex_);
  volume = volume_;
  return MMSYSERR_NOERROR;
}

MMRESULT UnpacedWaveOutStream::SetVolume(uint32_t volume) {
  if (!supportsVolume_) return MMSYSERR_NOTSUPPORTED;
  std::lock_guard<std::mutex> lock(mutex_);
  volume_ = volume;
  return MMSYSERR_NOERROR;
}

MMRESULT UnpacedWaveOutStream::Close() {
  std::lock_guard<std::recursive_mutex> reporting(reportMutex_);
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return MMSYSERR_INVALHANDLE;
  if (!waiting_.empty() || !played_.empty()) return WAVERR_STILLPLAYING;
  closed_ = true;
  return Closed();
}

}  // namespace tw
