#pragma once
// One playback stream of one format on the PipeWire daemon, kept across
// opens (the Device of KeptDevices; sound/PipeWire.h says what the output
// promises). The stream runs from its creation to its destruction, copying
// silence when nothing is queued.
//
// Threads: the stream's real-time thread copies the queued sound into the
// graph's buffers and works out when each buffer's last frame goes to the
// sink; a reporter thread of the stream's own waits for that moment (or for
// a stopped graph's deadline) and reports the buffer to the sink. `mu_`
// guards the queue (it lends the real-time thread's priority to whoever
// holds it); it is taken after the connection's loop lock, never before it.
// Reports go out under `reportMu_` (taken before `mu_`), so they keep their
// order and a stream is not detached while it reports.

#include <pipewire/pipewire.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/InheritingMutex.h"
#include "platform/WakeSignal.h"
#include "platform/WaveOutErrorTexts.h"
#include "sound/Backend.h"
#include "sound/PipeWireConnection.h"
#include "sound/PipeWireCycles.h"

namespace tw {

// What a backend's streams tell: failure texts, and whether a stalled graph
// and a sound cut by the graph were already said.
struct PipeWireReports {
  WaveOutErrorTexts texts;
  std::atomic<bool> stallSaid{false};
  std::atomic<bool> gapSaid{false};
};

// The sample layout of a stream.
struct PipeWireFormat {
  uint32_t spaFormat = 0;  // SPA_AUDIO_FORMAT_*
  uint32_t rate = 0;
  uint32_t channels = 0;
  uint32_t frameBytes = 0;
  uint8_t silence = 0;  // the byte of a silent sample (0x80 for 8 bits)
  bool operator==(const PipeWireFormat&) const = default;
};

class PipeWireStream final : public PipeWireLossListener {
 public:
  PipeWireStream(std::shared_ptr<PipeWireConnection> connection,
                 std::shared_ptr<PipeWireReports> reports, const PipeWireFormat& format);
  ~PipeWireStream() override;
  PipeWireStream(const PipeWireStream&) = delete;
  PipeWireStream& operator=(const PipeWireStream&) = delete;

  const PipeWireFormat& format() const { return format_; }
  PipeWireConnection* connection() const { return c_.get(); }

  // Creates the daemon's stream and waits (bounded) until the graph runs it.
  MMRESULT Prepare();
  // Neither the stream nor the connection failed.
  bool Usable();
  // The daemon went away while buffers were queued, not yet said by a write.
  bool InterruptedUnreported();

  // KeptDevices' device: see sound/KeptDevice.h.
  bool KeepAfterClose() { return true; }
  MMRESULT Attach(WaveOutSink* sink);
  MMRESULT Detach(bool force);
  MMRESULT Write(WAVEHDR* header);
  MMRESULT Reset();
  MMRESULT Pause();
  MMRESULT Restart();
  MMRESULT GetPosition(uint64_t& frames);
  MMRESULT GetVolume(uint32_t& volume);
  MMRESULT SetVolume(uint32_t volume);

  void ConnectionLost(const std::string& reason) override;

 private:
  struct Entry {
    WAVEHDR* header;
    uint64_t start;  // frames since the attach: its first frame
    uint64_t end;    // and past its last
    int64_t sentAt;  // monotonic ns when its last frame goes to the sink; -1 unknown
  };

  // The monotonic clock the graph's times are given in, in nanoseconds.
  static int64_t NowNs();
  std::string Who() const;
  MMRESULT Fail(const std::string& reason, MMRESULT code);
  // Writes "WHO: WHAT; going on (reported once)" on standard error unless
  // `said` (one of reports_'s) says it was written already.
  void SayOnce(std::atomic<bool>& said, const std::string& what) const;
  MMRESULT CreateLocked();
  pw_properties* StreamProperties() const;
  void DestroyLocked();
  MMRESULT ApplyVolumeLocked(uint32_t word);
  MMRESULT FitQuantum(uint64_t frames);
  void AwaitGraph(bool settled);

  static void OnProcess(void* self);
  static void OnStateChanged(void* self, pw_stream_state old, pw_stream_state state,
                             const char* error);
  bool NoteCycleLocked(const pw_time& t);
  void CopyLocked(char* to, uint32_t frames, const pw_time& t);

  void RunReporter();
  int64_t NextWakeLocked() const;
  void AdvanceLocked(int64_t now);
  void CheckStallLocked(int64_t now);
  void EndAllLocked();
  void SetDueLocked(int64_t now);
  void ReportDone();
  void ClearLocked();
  void DropReportedLocked();
  void BreakLocked(const std::string& reason);

  const std::shared_ptr<PipeWireConnection> c_;
  const std::shared_ptr<PipeWireReports> reports_;
  const PipeWireFormat format_;
  int64_t latencyNs_ = 0;  // the stream's quantum; under mu_
  // The quantum asked of the graph unless set, as quantum_/quantumRate_
  // (0: the stream's rate); under the loop's lock.
  uint32_t quantum_ = PipeWireQuanta::kMax;
  uint32_t quantumRate_ = 0;
  std::atomic<uint32_t> graphRate_{0};  // the graph's rate, once a cycle said it
  std::atomic<bool> fitted_{false};     // the quantum is set for good
  // The graph's quantum settled since the stream connected, and a write
  // waited for that.
  std::atomic<bool> settled_{false};
  std::atomic<bool> settleAwaited_{false};
  std::atomic<bool> rateAwaited_{false};  // a write waited for graphRate_
  WakeSignal cycleSignal_;                // posted when graphRate_ or settled_ is set

  // Under the connection's loop lock.
  pw_stream* s_ = nullptr;
  spa_hook listener_{};
  pw_stream_events events_{};
  pw_stream_state state_ = PW_STREAM_STATE_UNCONNECTED;
  std::string stateError_;
  uint32_t volume_ = 0xFFFFFFFFu;

  std::mutex reportMu_;
  // Taken by the real-time thread: it inherits that thread's priority.
  InheritingMutex mu_;
  // Wakes the reporter. Not a condition variable: posting it takes no lock,
  // so the real-time thread never waits on the reporter.
  WakeSignal wake_;
  // Guarded by mu_.
  WaveOutSink* sink_ = nullptr;
  std::vector<Entry> entries_;  // [head_, done_) done, not reported; [copy_, end) not all copied
  size_t head_ = 0;
  size_t done_ = 0;
  size_t copy_ = 0;
  uint64_t queued_ = 0;        // frames written since the attach
  uint64_t copied_ = 0;        // of those, copied into the graph's buffers
  uint64_t completedEnd_ = 0;  // end of the last buffer done
  int64_t headSince_ = 0;      // when the first unfinished buffer started
  int64_t pausedAt_ = 0;
  int64_t dueAt_ = 0;      // the first unfinished buffer should have gone by then
  int64_t giveUpAt_ = 0;   // and is given up then even while the graph runs
  int64_t lastCycle_ = 0;  // the graph's last cycle (monotonic ns)
  PipeWireCycles cycles_;
  bool inSound_ = false;    // the last cycle left sound for the next one
  bool gapUnsaid_ = false;  // the graph cut a sound; the reporter says it
  bool paused_ = false;
  bool broken_ = false;
  bool interrupted_ = false;
  bool quit_ = false;
  std::string failure_;
  std::thread reporter_;
};

}  // namespace tw
