#pragma once
// One stream of one format on the sound server, kept across opens (the
// Device of KeptDevices; sound/Pulse.h says what the output promises). The
// server's stream object may be dropped (after a drain that did not finish)
// and created again on the next write; everything a caller sees stays with
// this object.
//
// Its state is guarded by the connection's `mu` (sound/PulseConnection.h):
// the public calls take it, the library's callbacks run under it on the
// loop thread, and members named ...Locked expect it held. The queue of
// buffers is in PulseStreamQueue.cpp, the drain of the last one
// (sound/PulseDrain.h) in PulseStreamDrain.cpp.

#include <pulse/pulseaudio.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/WaveOutErrorTexts.h"
#include "sound/Backend.h"
#include "sound/PulseConnection.h"
#include "sound/PulseDrain.h"

namespace tw {

// What a backend's streams tell: the texts of failures, and whether a drain
// given up was already said.
struct PulseReports {
  WaveOutErrorTexts texts;
  std::atomic<bool> drainTimeoutSaid{false};
};

class PulseStream {
 public:
  using Clock = std::chrono::steady_clock;

  // A stream of `sampleFormat` (from ToSampleFormat) on `connection`; the
  // server's stream is created by Prepare or the first Write.
  PulseStream(std::shared_ptr<PulseConnection> connection, std::shared_ptr<PulseReports> reports,
              const pa_sample_spec& sampleFormat);
  // Drops the server's stream; waits for no answer.
  ~PulseStream();
  PulseStream(const PulseStream&) = delete;
  PulseStream& operator=(const PulseStream&) = delete;

  const pa_sample_spec& format() const { return sampleFormat_; }
  PulseConnection* connection() const { return c_.get(); }

  // Creates the server's stream when there is none. Bounded wait; a
  // failure's text names the server, the stream and the reason.
  MMRESULT Prepare();
  // Neither the server's stream nor the connection failed.
  bool Usable();
  // Kept even when cut off by a lost server: the next open's first write
  // reports that, and the open after it makes a new one.
  bool KeepAfterClose() { return true; }
  // The server went away while buffers were queued and no write has said so
  // yet.
  bool InterruptedUnreported();

  // A new device takes the stream: counters start at 0, full volume, not
  // paused.
  MMRESULT Attach(WaveOutSink* sink);
  // The device lets go. Fails while buffers are queued unless force, which
  // drops them unreported (their owner is gone).
  MMRESULT Detach(bool force);
  // KeptDevices' device calls, as in WaveOutStream. Write queues the
  // buffer and hands the server what its buffer takes; Reset drops what
  // the server holds and reports every queued buffer before returning.
  MMRESULT Write(WAVEHDR* header);
  MMRESULT Reset();
  MMRESULT Pause();
  MMRESULT Restart();
  MMRESULT GetPosition(uint64_t& frames);
  MMRESULT GetVolume(uint32_t& volume);
  MMRESULT SetVolume(uint32_t volume);

  // Hands the finished buffers to the sink, in order. Holds the
  // connection's reportMu (not mu).
  void ReportLocked();

 private:
  struct Entry {
    WAVEHDR* header;
    uint64_t start;  // byte offsets of its first and past its last frame, since
    uint64_t end;    // the attach or the last reset
  };

  std::string Who() const;
  MMRESULT Fail(const std::string& reason, MMRESULT code);

  // The server's stream (PulseStream.cpp).
  MMRESULT DetachLocked(std::unique_lock<std::mutex>& lock);
  MMRESULT CreateLocked(std::unique_lock<std::mutex>& lock);
  pa_buffer_attr BufferAttributes() const;
  MMRESULT AdoptLocked(pa_stream* s);
  static void CloseServerStream(pa_stream* s);
  void DropServerStreamLocked();
  void BreakLocked(const std::string& reason);
  MMRESULT CorkLocked(std::unique_lock<std::mutex>& lock, bool cork);
  const pa_cvolume* ToCvolume(uint32_t word, pa_cvolume& v) const;
  MMRESULT SetVolumeLocked(std::unique_lock<std::mutex>& lock, uint32_t word);
  MMRESULT FinishLocked(std::unique_lock<std::mutex>& lock, pa_operation* op, PulseAnswer& answer,
                        const char* what);
  void CancelLocked(pa_operation*& op);
  void Disarm(pa_time_event* e);
  static void OnState(pa_stream* s, void* self);
  static void OnWritable(pa_stream*, size_t, void* self);

  // The queue (PulseStreamQueue.cpp).
  void ClearCountersLocked();
  void StartHeadLocked();
  void CompleteAllLocked();
  void CompleteLocked(uint64_t reached);
  bool PumpLocked();
  void FlushLocked();
  void ArmClockLocked();
  static void OnClock(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self);
  static void OnTiming(pa_stream* s, int success, void* self);

  // The drain (PulseStreamDrain.cpp).
  void ArmDrainLocked();
  void DrainOn(DrainEvent event, const char* why = "");
  void AskDrainLocked();
  void ArmDeadlineLocked();
  void AskPositionLocked();
  void FinishDrainLocked();
  void CancelDrainLocked();
  void GiveUpDrainLocked(const std::string& why);
  void RestartDeadline(pa_usec_t fromNow);
  static void OnDrained(pa_stream*, int success, void* self);
  static void OnDeadline(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self);
  static void OnProbe(pa_stream* s, int success, void* self);

  const std::shared_ptr<PulseConnection> c_;
  const std::shared_ptr<PulseReports> reports_;
  const pa_sample_spec sampleFormat_;
  const size_t frameBytes_;
  pa_channel_map map_{};

  // Guarded by c_->mu.
  pa_stream* s_ = nullptr;
  std::string sinkName_;
  uint32_t maxInFlight_ = 4u << 20;
  WaveOutSink* sink_ = nullptr;
  std::vector<Entry> entries_;  // [head_, done_) done, not reported; [done_, end) playing
  size_t head_ = 0;
  size_t done_ = 0;
  uint64_t queued_ = 0;           // bytes queued since the attach or the last reset
  uint64_t sent_ = 0;             // of those, handed to the server
  uint64_t played_ = 0;           // of those, known to be played
  uint64_t completedEnd_ = 0;     // end of the last buffer done
  uint64_t drainMark_ = 0;        // sent_ when the drain in flight was asked for
  Clock::time_point drainSince_;  // when the drain in flight was asked for
  int64_t probeRead_ = -1;        // where the server read at the last look, or -1
  pa_usec_t probeRest_ = 0;       // the sound the server still held at the last look
  DrainState drainState_ = DrainState::kIdle;
  Clock::duration headPlayed_{};  // how long the first unfinished buffer played before a pause
  Clock::time_point headSince_;   // since when it plays
  uint32_t volume_ = 0xFFFFFFFFu;
  bool paused_ = false;
  bool broken_ = false;
  bool interrupted_ = false;
  std::string failure_;
  pa_operation* drain_ = nullptr;
  pa_operation* timing_ = nullptr;
  pa_operation* probe_ = nullptr;
  pa_time_event* deadline_ = nullptr;
  pa_time_event* clock_ = nullptr;
};

}  // namespace tw
