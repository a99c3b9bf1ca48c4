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

#include "platform/WaveOutBackend.h"

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
  // Consumes one buffer's sound, PlayCount(header) times. Called in the
  // order the buffers are played, under the stream's lock (it must not call
  // back into the stream). A failure refuses the buffer in Write; in Restart
  // the buffer is still returned and the first failure is Restart's result.
  virtual MMRESULT Play(const WAVEHDR& header) = 0;
  // Releases what the stream holds once it is closed; its result is Close's.
  virtual MMRESULT Closed() { return MMSYSERR_NOERROR; }

 private:
  // A first-in first-out list of headers that allocates only when it grows.
  struct HeaderQueue {
    std::vector<WAVEHDR*> items;
    size_t head = 0;
    bool empty() const { return head == items.size(); }
    void push(WAVEHDR* h) { items.push_back(h); }
    WAVEHDR* pop() {
      WAVEHDR* h = items[head++];
      if (head == items.size()) {
        items.clear();
        head = 0;
      }
      return h;
    }
  };

  // Hands every played buffer to the sink, oldest first. Only one thread
  // reports at a time, and it holds no stream lock while the sink runs.
  void ReportPlayed();

  const WAVEFORMATEX format_;
  WaveOutSink& sink_;
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
