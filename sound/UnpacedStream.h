#pragma once
// An output stream that plays every buffer the moment it is written, with no
// clock: the base of null:fast and of the WAV recorder. It keeps the device
// model all the same: buffers come back once each, in the order written;
// while paused, written buffers wait and are played by Restart; Reset
// returns every buffer not yet reported; the position counts the bytes
// played since the open or the last Reset.

#include <cstdint>
#include <mutex>
#include <vector>

#include "sound/Backend.h"

namespace tw {

class UnpacedWaveOutStream : public WaveOutStream {
 public:
  // supportsVolume: whether GetVolume/SetVolume store a volume word (a
  // software gain) or answer MMSYSERR_NOTSUPPORTED.
  UnpacedWaveOutStream(const WAVEFORMATEX& format, WaveOutSink& sink, bool supportsVolume);

  MMRESULT Write(WAVEHDR* header) override;
  MMRESULT Reset() override;
  MMRESULT Pause() override;
  MMRESULT Restart() override;
  MMRESULT GetPosition(uint64_t& frames) override;
  MMRESULT GetVolume(uint32_t& volume) override;
  MMRESULT SetVolume(uint32_t volume) override;
  MMRESULT Close() override;

 protected:
  // Makes a closed (or abandoned) stream a freshly opened one for another
  // format and sink, so a backend can recycle the object. Not while any
  // other call of the stream runs.
  void Reopen(const WAVEFORMATEX& format, WaveOutSink& sink);

  // Consumes one buffer's sound, PlayCount(header) times. Called in the
  // order the buffers are played, under the stream's lock (it must not call
  // back into the stream). A failure refuses the buffer in Write; in Restart
  // the buffer is still returned and the first failure is Restart's result.
  virtual MMRESULT Play(const WAVEHDR& header) = 0;
  // Releases what the stream holds once it is closed; its result is Close's.
  virtual MMRESULT Closed() { return MMSYSERR_NOERROR; }

 private:
  // A first-in first-out list of headers. The first few live inside the
  // stream, so the usual one or two buffers per open cost no allocation.
  class HeaderQueue {
   public:
    bool empty() const { return count_ == 0 && more_.empty(); }
    void push(WAVEHDR* h) {
      if (more_.empty() && count_ < kInline) {
        ring_[(head_ + count_++) % kInline] = h;
      } else {
        more_.push_back(h);  // younger than everything in the ring
      }
    }
    WAVEHDR* pop() {
      if (count_ == 0) {  // the ring ran dry: the oldest waits in more_
        WAVEHDR* h = more_[moreHead_++];
        if (moreHead_ == more_.size()) {
          more_.clear();
          moreHead_ = 0;
        }
        return h;
      }
      WAVEHDR* h = ring_[head_];
      head_ = (head_ + 1) % kInline;
      --count_;
      return h;
    }

    void clear() {
      head_ = count_ = moreHead_ = 0;
      more_.clear();  // keeps its capacity
    }

   private:
    static constexpr size_t kInline = 4;
    WAVEHDR* ring_[kInline] = {};
    size_t head_ = 0;
    size_t count_ = 0;
    std::vector<WAVEHDR*> more_;
    size_t moreHead_ = 0;
  };

  // Hands every played buffer to the sink, oldest first. Only one thread
  // reports at a time, and it holds no stream lock while the sink runs.
  void ReportPlayed();

  WAVEFORMATEX format_;
  WaveOutSink* sink_;
  const bool supportsVolume_;

  std::recursive_mutex reportMutex_;  // taken before mutex_, held while reporting
  std::mutex mutex_;
  HeaderQueue waiting_;  // written while paused
  HeaderQueue played_;   // played, not yet reported
  bool paused_ = false;
  bool closed_ = false;
  uint64_t playedBytes_ = 0;
  uint32_t volume_ = 0xFFFFFFFFu;
};

}  // namespace tw
