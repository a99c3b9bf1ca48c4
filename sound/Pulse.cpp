#include "sound/Pulse.h"

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "sound/ErrorTexts.h"
#include "sound/KeptDevice.h"
#include "sound/PulseApi.h"
#include "sound/PulseDrain.h"
#include "sound/SoundWaits.h"

namespace tw {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kFormatTagFloat = 3;
constexpr char kClientName[] = "Tonewell";
constexpr char kStreamName[] = "Tonewell";
constexpr uint32_t kFullVolume = 0xFFFFFFFFu;
// A drain is looked after when the sound still queued, the stream's latency
// and kDrainSlackUsec have passed (the server plays in blocks of a few
// milliseconds): the server is asked where it reads, and the answer is
// waited for at most kProbeWaitUsec. Then again after twice the time the
// rest of the sound needs plus kRecheckSlackUsec, for as long as the
// server's read position moves on between two looks. A drain is given up
// when the server does not answer, or when its read position stood still
// between two looks (it stopped playing, or played everything and never
// said so). A healthy server on a busy machine was seen to answer a drain
// 60-80 ms late now and then, and PipeWire 0.3's pulse server to leave one
// unfinished every few dozen tones: the first is not taken for the second,
// and the second costs about 50 ms each time.
constexpr pa_usec_t kDrainSlackUsec = 30000;
constexpr pa_usec_t kProbeWaitUsec = 150000;
constexpr pa_usec_t kRecheckSlackUsec = 20000;

// The client library's functions: loaded by the backend before it creates
// the first object of the library (PulseBackend::Connection), so every other
// use finds them.
std::atomic<const PulseApi*> gPulse{nullptr};
const PulseApi& Pa() { return *gPulse.load(std::memory_order_acquire); }

size_t FrameBytes(const pa_sample_spec* f) {
  const size_t sample = f->format == PA_SAMPLE_U8      ? 1
                        : f->format == PA_SAMPLE_S16LE ? 2
                        : f->format == PA_SAMPLE_S24LE ? 3
                                                       : 4;
  return sample * f->channels;
}
uint64_t UsecToBytes(pa_usec_t usec, const pa_sample_spec* f) {
  return usec * f->rate / PA_USEC_PER_SEC * FrameBytes(f);
}
pa_usec_t BytesToUsec(uint64_t bytes, const pa_sample_spec* f) {
  return bytes / FrameBytes(f) * PA_USEC_PER_SEC / f->rate;
}

bool ToSampleFormat(const WAVEFORMATEX& f, pa_sample_spec& sampleFormat) {
  sampleFormat.channels = static_cast<uint8_t>(std::min<unsigned>(f.nChannels, 255));
  sampleFormat.rate = f.nSamplesPerSec;
  if (f.wFormatTag == WAVE_FORMAT_PCM) {
    switch (f.wBitsPerSample) {
      case 8:
        sampleFormat.format = PA_SAMPLE_U8;
        break;
      case 16:
        sampleFormat.format = PA_SAMPLE_S16LE;
        break;
      case 24:
        sampleFormat.format = PA_SAMPLE_S24LE;
        break;
      case 32:
        sampleFormat.format = PA_SAMPLE_S32LE;
        break;
      default:
        return false;
    }
  } else if (f.wFormatTag == kFormatTagFloat && f.wBitsPerSample == 32) {
    sampleFormat.format = PA_SAMPLE_FLOAT32LE;
  } else {
    return false;
  }
  if (f.nChannels == 0 || f.nChannels > PA_CHANNELS_MAX) return false;
  if (f.nBlockAlign != f.nChannels * (f.wBitsPerSample / 8)) return false;
  return sampleFormat.rate > 0 && sampleFormat.rate <= PA_RATE_MAX;
}

bool SameSampleFormat(const pa_sample_spec& a, const pa_sample_spec& b) {
  return a.format == b.format && a.rate == b.rate && a.channels == b.channels;
}

std::string Milliseconds(Clock::duration d) {
  return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(d).count()) + " ms";
}

class ServerStream;

// One connection to the server and the thread that runs its main loop.
//
// Locking: `mu` guards the client library's objects and every ServerStream's
// state. The loop thread holds it except while it waits in poll, so the
// library's callbacks run under it; other threads take it for each call
// into the library and wait for answers on `cv`. Finished buffers are handed
// to their sinks outside `mu` while `reportMu` is held (taken before `mu`,
// never after), so reports of one stream keep their order and a stream is
// not destroyed while its buffers are being reported.
class PulseConnection {
 public:
  explicit PulseConnection(const PulseOutputSettings& settings) : settings_(settings) {
    loop_ = Pa().pa_mainloop_new();
    Pa().pa_mainloop_set_poll_func(loop_, &PollUnlocked, this);
    pa_proplist* props = Pa().pa_proplist_new();
    Pa().pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, kClientName);
    context =
        Pa().pa_context_new_with_proplist(Pa().pa_mainloop_get_api(loop_), kClientName, props);
    Pa().pa_proplist_free(props);
    if (context != nullptr) Pa().pa_context_set_state_callback(context, &OnContextState, this);
    thread_ = std::thread([this] { Run(); });
  }

  ~PulseConnection() {
    {
      std::lock_guard<std::mutex> lock(mu);
      quit_ = true;
      Pa().pa_mainloop_wakeup(loop_);
    }
    thread_.join();
    if (context != nullptr) {
      Pa().pa_context_set_state_callback(context, nullptr, nullptr);
      Pa().pa_context_disconnect(context);
      Pa().pa_context_unref(context);
    }
    Pa().pa_mainloop_free(loop_);
  }

  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  // Connects, waiting at most `timeout`. On failure the text (naming the
  // server) is in `reason`.
  // `tookIt` says whether a server took the connection (it answered, or
  // was still answering when the time ran out).
  MMRESULT Connect(std::chrono::milliseconds timeout, std::string& reason, bool& tookIt) {
    tookIt = false;
    std::unique_lock<std::mutex> lock(mu);
    if (context == nullptr) {
      reason = Who() + ": " + Pa().pa_strerror(PA_ERR_INTERNAL);
      return MMSYSERR_NOMEM;
    }
    if (Pa().pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      reason = Who() + ": " + Pa().pa_strerror(Pa().pa_context_errno(context));
      return MMSYSERR_NODRIVER;
    }
    Pa().pa_mainloop_wakeup(loop_);
    WaitFor(lock, Clock::now() + timeout, [&] {
      const pa_context_state_t s = Pa().pa_context_get_state(context);
      return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
    });
    const pa_context_state_t s = Pa().pa_context_get_state(context);
    tookIt = PA_CONTEXT_IS_GOOD(s);
    if (s == PA_CONTEXT_READY) return MMSYSERR_NOERROR;
    reason =
        Who() + ": " +
        (PA_CONTEXT_IS_GOOD(s) ? NoAnswerText(timeout)
                               : std::string(Pa().pa_strerror(Pa().pa_context_errno(context))));
    return MMSYSERR_NODRIVER;
  }

  // The server as the failure texts name it. Under mu.
  std::string Who() const {
    const char* server = context == nullptr ? nullptr : Pa().pa_context_get_server(context);
    if (server == nullptr) server = std::getenv("PULSE_SERVER");
    return std::string("PulseAudio server \"") + (server != nullptr ? server : "default") + "\"";
  }

  // The connection failed or was closed by the server. Under mu.
  bool Lost() const { return !PA_CONTEXT_IS_GOOD(Pa().pa_context_get_state(context)); }
  std::string LostReason() const { return Pa().pa_strerror(Pa().pa_context_errno(context)); }

  bool LostNow() {
    std::lock_guard<std::mutex> lock(mu);
    return Lost();
  }

  // Lets the loop notice calls made from other threads. Under mu.
  void Wake() { Pa().pa_mainloop_wakeup(loop_); }
  pa_mainloop_api* Api() { return Pa().pa_mainloop_get_api(loop_); }
  const PulseOutputSettings& settings() const { return settings_; }

  // Waits on cv until done() holds, the connection is lost, the timeout
  // passes or the sound waits are cancelled; returns done(). Under mu (held
  // by lock).
  template <typename Done>
  bool Await(std::unique_lock<std::mutex>& lock, Done done) {
    Wake();
    WaitFor(lock, Clock::now() + settings_.timeout, [&] { return done() || Lost(); });
    return done();
  }

  // Waits on cv until done() holds or `deadline` passes, giving up within
  // kSoundWaitSlice once the sound waits are cancelled. Under mu.
  template <typename Done>
  bool WaitFor(std::unique_lock<std::mutex>& lock, Clock::time_point deadline, Done done) {
    return WaitUnlessCancelled(deadline, done, [&](auto until) { cv.wait_until(lock, until); });
  }

  // Streams register so the loop can hand over their finished buffers.
  void Register(ServerStream* s) { streams_.push_back(s); }
  void Unregister(ServerStream* s) { std::erase(streams_, s); }
  // A stream has finished buffers to report. Under mu.
  void ReportSoon() {
    reportPending_ = true;
    Wake();
  }

  std::mutex reportMu;
  std::mutex mu;
  std::condition_variable cv;
  pa_context* context = nullptr;

 private:
  static int PollUnlocked(pollfd* fds, unsigned long count, int timeout, void* self) {
    auto* c = static_cast<PulseConnection*>(self);
    c->mu.unlock();
    const int ready = poll(fds, count, timeout);
    c->mu.lock();
    return ready;
  }

  static void OnContextState(pa_context*, void* self) {
    static_cast<PulseConnection*>(self)->cv.notify_all();
  }

  void Run() {
    std::unique_lock<std::mutex> lock(mu);
    while (!quit_) {
      if (Pa().pa_mainloop_iterate(loop_, 1, nullptr) < 0 && !quit_) {
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        lock.lock();
      }
      if (reportPending_) ReportFinished(lock);
    }
  }

  void ReportFinished(std::unique_lock<std::mutex>& lock);

  const PulseOutputSettings settings_;
  pa_mainloop* loop_ = nullptr;
  std::thread thread_;
  bool quit_ = false;
  bool reportPending_ = false;
  std::vector<ServerStream*> streams_;
};

// Outcome of one library operation that a caller waits for.
struct Answer {
  PulseConnection* connection;
  bool done = false;
  int success = 0;
  static void OnStream(pa_stream*, int success, void* self) {
    static_cast<Answer*>(self)->Set(success);
  }
  static void OnContext(pa_context*, int success, void* self) {
    static_cast<Answer*>(self)->Set(success);
  }
  void Set(int s) {
    done = true;
    success = s;
    connection->cv.notify_all();
  }
};

// What a backend's streams tell: the texts of failures, and whether a drain
// given up was already said.
struct PulseReports {
  WaveOutErrorTexts texts;
  std::atomic<bool> drainTimeoutSaid{false};
};

// Shared by a backend and the devices it opened.
struct PulseShared {
  PulseOutputSettings settings;
  std::shared_ptr<PulseReports> reports = std::make_shared<PulseReports>();
  std::mutex mu;  // guards connection and idle
  std::shared_ptr<PulseConnection> connection;
  std::unique_ptr<ServerStream> idle;
};

// One stream of one format on the server. The server's stream object may
// be dropped (after a drain that did not finish) and created again on the
// next write; everything a caller sees stays with this object.
class ServerStream {
 public:
  ServerStream(std::shared_ptr<PulseConnection> connection, std::shared_ptr<PulseReports> reports,
               const pa_sample_spec& sampleFormat)
      : c_(std::move(connection)),
        reports_(std::move(reports)),
        sampleFormat_(sampleFormat),
        frameBytes_(FrameBytes(&sampleFormat)) {
    Pa().pa_channel_map_init_extend(&map_, sampleFormat.channels, PA_CHANNEL_MAP_WAVEEX);
    std::lock_guard<std::mutex> lock(c_->mu);
    deadline_ = Pa().pa_context_rttime_new(c_->context, PA_USEC_INVALID, &OnDeadline, this);
    clock_ = Pa().pa_context_rttime_new(c_->context, PA_USEC_INVALID, &OnClock, this);
    c_->Register(this);
  }

  ~ServerStream() {
    std::lock_guard<std::mutex> report(c_->reportMu);
    std::lock_guard<std::mutex> lock(c_->mu);
    DropServerStreamLocked();
    if (deadline_ != nullptr) c_->Api()->time_free(deadline_);
    if (clock_ != nullptr) c_->Api()->time_free(clock_);
    c_->Unregister(this);
  }

  ServerStream(const ServerStream&) = delete;
  ServerStream& operator=(const ServerStream&) = delete;

  const pa_sample_spec& sampleFormat() const { return sampleFormat_; }
  PulseConnection* connection() const { return c_.get(); }

  // Creates the server's stream when there is none. Bounded wait.
  MMRESULT Prepare() {
    std::unique_lock<std::mutex> lock(c_->mu);
    if (broken_) return reports_->texts.Set(MMSYSERR_ERROR, failure_);
    return s_ != nullptr ? MMSYSERR_NOERROR : CreateLocked(lock);
  }

  // Neither the server nor the connection failed.
  bool Usable() {
    std::lock_guard<std::mutex> lock(c_->mu);
    return !broken_ && !c_->Lost();
  }

  // Kept even when cut off by a lost server: the next open's first write
  // reports that, and the open after it makes a new one.
  bool KeepAfterClose() { return true; }

  // The server went away while buffers were queued and no write has said so
  // yet.
  bool InterruptedUnreported() {
    std::lock_guard<std::mutex> lock(c_->mu);
    return broken_ && interrupted_;
  }

  // A new device takes the stream: counters start at 0, full volume, not
  // paused.
  MMRESULT Attach(WaveOutSink* sink) {
    std::unique_lock<std::mutex> lock(c_->mu);
    sink_ = sink;
    ClearCountersLocked();
    paused_ = false;
    if (volume_ != kFullVolume && s_ != nullptr && !broken_)
      return SetVolumeLocked(lock, kFullVolume);
    volume_ = kFullVolume;
    return MMSYSERR_NOERROR;
  }

  // The device lets go. Fails while buffers are queued unless force, which
  // drops them unreported (their owner is gone).
  MMRESULT Detach(bool force) {
    {
      // Every buffer reported: no report to the sink can be under way, so
      // the loop's reporting need not be waited for (the usual close).
      std::unique_lock<std::mutex> lock(c_->mu);
      if (head_ < entries_.size() && !force) return WAVERR_STILLPLAYING;
      if (head_ == entries_.size()) return DetachLocked(lock);
    }
    std::lock_guard<std::mutex> report(c_->reportMu);
    std::unique_lock<std::mutex> lock(c_->mu);
    return DetachLocked(lock);
  }

  MMRESULT DetachLocked(std::unique_lock<std::mutex>& lock) {
    if (done_ < entries_.size() && s_ != nullptr) FlushLocked();
    if (paused_ && s_ != nullptr && !broken_) CorkLocked(lock, false);
    paused_ = false;
    sink_ = nullptr;
    ClearCountersLocked();
    return MMSYSERR_NOERROR;
  }

  MMRESULT Write(WAVEHDR* header) {
    std::unique_lock<std::mutex> lock(c_->mu);
    if (broken_) {
      interrupted_ = false;  // said now, by this write's failure
      return reports_->texts.Set(MMSYSERR_ERROR, failure_);
    }
    if (s_ == nullptr) {
      const MMRESULT r = CreateLocked(lock);
      if (r != MMSYSERR_NOERROR) return r;
    }
    if (done_ == entries_.size()) StartHeadLocked();
    const uint64_t bytes = header->dwBufferLength / frameBytes_ * frameBytes_;
    entries_.push_back(Entry{header, queued_, queued_ + bytes});
    queued_ += bytes;
    if (!PumpLocked()) {
      // The caller keeps this buffer (the failure says it was not queued);
      // those before it end as the server's failure ended them.
      entries_.pop_back();
      done_ = std::min(done_, entries_.size());
      interrupted_ = false;
      return reports_->texts.Set(MMSYSERR_ERROR, failure_);
    }
    CompleteLocked(played_);  // an empty buffer with nothing before it is done now
    ArmDrainLocked();
    ArmClockLocked();
    c_->Wake();
    return MMSYSERR_NOERROR;
  }

  // Drops what the server holds and reports every queued buffer before
  // returning.
  MMRESULT Reset() {
    std::lock_guard<std::mutex> report(c_->reportMu);
    {
      std::lock_guard<std::mutex> lock(c_->mu);
      if (played_ < sent_ && s_ != nullptr && !broken_) FlushLocked();
      done_ = entries_.size();
    }
    ReportLocked();
    std::lock_guard<std::mutex> lock(c_->mu);
    if (head_ == entries_.size()) ClearCountersLocked();  // unless written to meanwhile
    return MMSYSERR_NOERROR;
  }

  MMRESULT Pause() {
    std::unique_lock<std::mutex> lock(c_->mu);
    if (paused_) return MMSYSERR_NOERROR;
    if (s_ != nullptr && !broken_) {
      const MMRESULT r = CorkLocked(lock, true);
      if (r != MMSYSERR_NOERROR) return r;
    }
    paused_ = true;
    headPlayed_ += Clock::now() - headSince_;
    DrainOn(DrainEvent::kCorked);
    Disarm(clock_);
    return MMSYSERR_NOERROR;
  }

  MMRESULT Restart() {
    std::unique_lock<std::mutex> lock(c_->mu);
    if (!paused_) return MMSYSERR_NOERROR;
    if (s_ != nullptr && !broken_) {
      const MMRESULT r = CorkLocked(lock, false);
      if (r != MMSYSERR_NOERROR) return r;
    }
    paused_ = false;
    headSince_ = Clock::now();
    DrainOn(DrainEvent::kUncorked);
    ArmDrainLocked();
    ArmClockLocked();
    c_->Wake();
    return MMSYSERR_NOERROR;
  }

  MMRESULT GetPosition(uint64_t& frames) {
    std::lock_guard<std::mutex> lock(c_->mu);
    uint64_t bytes = completedEnd_;
    if (done_ < entries_.size()) {
      const auto heard =
          headPlayed_ + (paused_ ? Clock::duration::zero() : Clock::now() - headSince_);
      const uint64_t us = static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::microseconds>(heard).count());
      const uint64_t length = entries_[done_].end - completedEnd_;
      bytes +=
          std::min<uint64_t>(length, UsecToBytes(us, &sampleFormat_) / frameBytes_ * frameBytes_);
    }
    frames = bytes / frameBytes_;
    return MMSYSERR_NOERROR;
  }

  MMRESULT GetVolume(uint32_t& volume) {
    std::unique_lock<std::mutex> lock(c_->mu);
    if (broken_) return reports_->texts.Set(MMSYSERR_ERROR, failure_);
    if (s_ == nullptr) {
      volume = volume_;
      return MMSYSERR_NOERROR;
    }
    struct Info {
      Answer answer;
      pa_cvolume volume{};
      static void On(pa_context*, const pa_sink_input_info* i, int eol, void* self) {
        auto* info = static_cast<Info*>(self);
        if (i != nullptr) info->volume = i->volume;
        if (eol != 0) info->answer.Set(eol > 0 && info->volume.channels > 0);
      }
    } info{Answer{c_.get()}};
    pa_operation* op = Pa().pa_context_get_sink_input_info(
        c_->context, Pa().pa_stream_get_index(s_), &Info::On, &info);
    const MMRESULT r = FinishLocked(lock, op, info.answer, "reading the volume");
    if (r != MMSYSERR_NOERROR) return r;
    auto word = [](pa_volume_t v) {
      return static_cast<uint32_t>(
          std::lround(std::min(1.0, Pa().pa_sw_volume_to_linear(v)) * 65535.0));
    };
    const uint32_t left = word(info.volume.values[0]);
    const uint32_t right = info.volume.channels > 1 ? word(info.volume.values[1]) : left;
    volume = left | (right << 16);
    return MMSYSERR_NOERROR;
  }

  MMRESULT SetVolume(uint32_t volume) {
    std::unique_lock<std::mutex> lock(c_->mu);
    if (broken_) return reports_->texts.Set(MMSYSERR_ERROR, failure_);
    if (s_ == nullptr) {
      volume_ = volume;  // applied when the server's stream is created
      return MMSYSERR_NOERROR;
    }
    return SetVolumeLocked(lock, volume);
  }

  // Hands the finished buffers to the sink, in order. Holds reportMu.
  void ReportLocked() {
    for (;;) {
      WAVEHDR* header;
      WaveOutSink* sink;
      {
        std::lock_guard<std::mutex> lock(c_->mu);
        if (head_ == done_) {
          if (head_ == entries_.size()) {
            entries_.clear();
            head_ = done_ = 0;
          }
          return;
        }
        header = entries_[head_++].header;
        sink = sink_;
      }
      if (sink != nullptr) sink->BufferDone(header);
    }
  }

 private:
  struct Entry {
    WAVEHDR* header;
    uint64_t start;  // byte offsets of its first and past its last frame, since
    uint64_t end;    // the attach or the last reset
  };

  std::string Who() const {
    std::string who = c_->Who() + ", stream \"" + kStreamName + "\"";
    if (!sinkName_.empty()) who += " on sink \"" + sinkName_ + "\"";
    return who;
  }

  void ClearCountersLocked() {
    entries_.clear();
    head_ = done_ = 0;
    queued_ = sent_ = played_ = completedEnd_ = 0;
    headPlayed_ = Clock::duration::zero();
    headSince_ = Clock::now();
    DrainOn(DrainEvent::kDropped);
    CancelLocked(timing_);
    Disarm(clock_);
  }

  void CancelLocked(pa_operation*& op) {
    if (op == nullptr) return;
    Pa().pa_operation_cancel(op);
    Pa().pa_operation_unref(op);
    op = nullptr;
  }

  void Disarm(pa_time_event* e) {
    if (e != nullptr) Pa().pa_context_rttime_restart(c_->context, e, PA_USEC_INVALID);
  }

  void StartHeadLocked() {
    headPlayed_ = Clock::duration::zero();
    headSince_ = Clock::now();
  }

  MMRESULT CreateLocked(std::unique_lock<std::mutex>& lock) {
    if (c_->Lost()) return Fail(c_->LostReason(), MMSYSERR_NODRIVER);
    pa_stream* s = Pa().pa_stream_new(c_->context, kStreamName, &sampleFormat_, &map_);
    if (s == nullptr)
      return Fail(Pa().pa_strerror(Pa().pa_context_errno(c_->context)), MMSYSERR_ERROR);
    Pa().pa_stream_set_state_callback(s, &OnState, this);
    Pa().pa_stream_set_write_callback(s, &OnWritable, this);
    const auto& settings = c_->settings();
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(
        UsecToBytes(static_cast<pa_usec_t>(settings.latency.count()), &sampleFormat_));
    attr.tlength = std::max<uint32_t>(attr.tlength, static_cast<uint32_t>(frameBytes_));
    attr.minreq = std::max<uint32_t>(attr.tlength / 3 / frameBytes_ * frameBytes_,
                                     static_cast<uint32_t>(frameBytes_));
    attr.prebuf = static_cast<uint32_t>(frameBytes_);
    attr.fragsize = static_cast<uint32_t>(-1);
    pa_cvolume volume;
    const pa_cvolume* initial = nullptr;
    if (volume_ != kFullVolume) initial = ToCvolume(volume_, volume);
    const char* sink = settings.sink.empty() ? nullptr : settings.sink.c_str();
    if (Pa().pa_stream_connect_playback(s, sink, &attr, PA_STREAM_NOFLAGS, initial, nullptr) < 0) {
      const std::string reason = Pa().pa_strerror(Pa().pa_context_errno(c_->context));
      Pa().pa_stream_unref(s);
      return Fail(reason, MMSYSERR_ERROR);
    }
    const bool settled = c_->Await(lock, [&] {
      const pa_stream_state_t st = Pa().pa_stream_get_state(s);
      return st == PA_STREAM_READY || !PA_STREAM_IS_GOOD(st);
    });
    if (!settled || Pa().pa_stream_get_state(s) != PA_STREAM_READY) {
      const std::string reason = c_->Lost() ? c_->LostReason()
                                 : settled  ? Pa().pa_strerror(Pa().pa_context_errno(c_->context))
                                            : NoAnswerText(settings.timeout);
      Pa().pa_stream_set_state_callback(s, nullptr, nullptr);
      Pa().pa_stream_set_write_callback(s, nullptr, nullptr);
      Pa().pa_stream_disconnect(s);
      Pa().pa_stream_unref(s);
      return Fail(reason, MMSYSERR_ERROR);
    }
    const char* name = Pa().pa_stream_get_device_name(s);
    const std::string placedOn = name != nullptr ? name : "";
    if (!settings.sink.empty() && placedOn != settings.sink) {
      // A server puts a stream for a sink it does not have on another one;
      // a named sink that is missing is an error, not a quiet fallback.
      Pa().pa_stream_set_state_callback(s, nullptr, nullptr);
      Pa().pa_stream_set_write_callback(s, nullptr, nullptr);
      Pa().pa_stream_disconnect(s);
      Pa().pa_stream_unref(s);
      return Fail("no sink named \"" + settings.sink + "\" (see pactl list short sinks)",
                  MMSYSERR_BADDEVICEID);
    }
    s_ = s;
    sinkName_ = placedOn;
    const pa_buffer_attr* actual = Pa().pa_stream_get_buffer_attr(s);
    maxInFlight_ = actual != nullptr ? actual->maxlength : 4u << 20;
    if (paused_) return CorkLocked(lock, true);
    return MMSYSERR_NOERROR;
  }

  // Records why the server's stream cannot be had (naming server, stream
  // and sink) and returns code with that text.
  MMRESULT Fail(const std::string& reason, MMRESULT code) {
    return reports_->texts.Set(code, Who() + ": " + reason);
  }

  void DropServerStreamLocked() {
    DrainOn(DrainEvent::kDropped);
    CancelLocked(timing_);
    Disarm(clock_);
    if (s_ == nullptr) return;
    Pa().pa_stream_set_state_callback(s_, nullptr, nullptr);
    Pa().pa_stream_set_write_callback(s_, nullptr, nullptr);
    Pa().pa_stream_disconnect(s_);
    Pa().pa_stream_unref(s_);
    s_ = nullptr;
  }

  // The server's stream failed (or the connection went): everything queued
  // is done, and the stream is unusable from now on.
  void BreakLocked(const std::string& reason) {
    if (broken_) return;
    broken_ = true;
    interrupted_ = done_ < entries_.size();
    failure_ = Who() + ": " + reason;
    DropServerStreamLocked();
    CompleteAllLocked();
  }

  void CompleteAllLocked() {
    played_ = sent_ = queued_;
    CompleteLocked(queued_);
  }

  // Buffers ending at or before `reached` are done.
  void CompleteLocked(uint64_t reached) {
    const size_t before = done_;
    while (done_ < entries_.size() && entries_[done_].end <= reached) {
      completedEnd_ = entries_[done_].end;
      ++done_;
    }
    if (done_ == before) return;
    StartHeadLocked();
    c_->ReportSoon();
  }

  // Hands the server what is queued, as far as its buffer allows. False
  // when the server refused (the stream is then broken).
  bool PumpLocked() {
    while (s_ != nullptr && sent_ < queued_ && sent_ - played_ < maxInFlight_) {
      size_t i = done_;
      while (entries_[i].end <= sent_) ++i;
      const Entry& e = entries_[i];
      const uint64_t n = std::min<uint64_t>(e.end - sent_, maxInFlight_ - (sent_ - played_));
      const char* data = e.header->lpData + (sent_ - e.start);
      // Into a stream the server has played empty, the sound goes where the
      // server reads next: a server that played on past the end of the last
      // sound (to the end of its block) would otherwise skip that much of
      // the new one.
      const pa_seek_mode_t seek = sent_ == played_ ? PA_SEEK_RELATIVE_ON_READ : PA_SEEK_RELATIVE;
      if (Pa().pa_stream_write(s_, data, n, nullptr, 0, seek) < 0) {
        BreakLocked(Pa().pa_strerror(Pa().pa_context_errno(c_->context)));
        return false;
      }
      sent_ += n;
    }
    return !broken_;
  }

  // Sound was sent beyond what is known played: a drain covers it.
  void ArmDrainLocked() {
    if (paused_ || s_ == nullptr || sent_ <= played_) return;
    DrainOn(DrainEvent::kSent);
  }

  // Asks the server to say when it has played everything sent so far. A
  // drain in flight finishes only once the server ran out of sound, so its
  // wait grows with what was sent after it.
  void AskDrainLocked() {
    drainMark_ = sent_;
    drainSince_ = Clock::now();
    drain_ = Pa().pa_stream_drain(s_, &OnDrained, this);
    if (drain_ == nullptr) return BreakLocked(Pa().pa_strerror(Pa().pa_context_errno(c_->context)));
    ArmDeadlineLocked();
  }

  // How long a drain may take: the sound not yet known played, plus the
  // stream's latency and some slack. A look in flight is moot.
  void ArmDeadlineLocked() {
    CancelLocked(probe_);
    probeRead_ = -1;
    const pa_usec_t remaining = BytesToUsec(sent_ - played_, &sampleFormat_);
    RestartDeadline(remaining + static_cast<pa_usec_t>(c_->settings().latency.count()) +
                    kDrainSlackUsec);
  }

  // With more written after the first unfinished buffer, that buffer is done
  // when the server's play position passed its end: looked up when it should
  // have ended.
  void ArmClockLocked() {
    if (paused_ || s_ == nullptr || timing_ != nullptr || done_ >= entries_.size()) return;
    const uint64_t end = entries_[done_].end;
    if (end >= queued_) return;  // the last one: the drain says when
    const uint64_t ahead = end > played_ ? end - played_ : 0;
    const pa_usec_t wait = std::max<pa_usec_t>(BytesToUsec(ahead, &sampleFormat_), 1000);
    Pa().pa_context_rttime_restart(c_->context, clock_, Pa().pa_rtclock_now() + wait);
  }

  MMRESULT CorkLocked(std::unique_lock<std::mutex>& lock, bool cork) {
    Answer answer{c_.get()};
    pa_operation* op = Pa().pa_stream_cork(s_, cork ? 1 : 0, &Answer::OnStream, &answer);
    return FinishLocked(lock, op, answer, cork ? "pausing" : "resuming");
  }

  // Drops what the server holds; the answer is not waited for (later writes
  // come after it on the connection).
  void FlushLocked() {
    DrainOn(DrainEvent::kDropped);
    CancelLocked(timing_);
    Disarm(clock_);
    if (pa_operation* op = Pa().pa_stream_flush(s_, nullptr, nullptr)) Pa().pa_operation_unref(op);
    played_ = sent_;
    c_->Wake();
  }

  const pa_cvolume* ToCvolume(uint32_t word, pa_cvolume& v) const {
    const pa_volume_t left = Pa().pa_sw_volume_from_linear((word & 0xFFFF) / 65535.0);
    const pa_volume_t right = Pa().pa_sw_volume_from_linear((word >> 16) / 65535.0);
    v.channels = sampleFormat_.channels;
    for (unsigned i = 0; i < sampleFormat_.channels; ++i)
      v.values[i] = (sampleFormat_.channels == 1 || i % 2 == 0) ? left : right;
    return &v;
  }

  MMRESULT SetVolumeLocked(std::unique_lock<std::mutex>& lock, uint32_t word) {
    pa_cvolume v;
    Answer answer{c_.get()};
    pa_operation* op = Pa().pa_context_set_sink_input_volume(
        c_->context, Pa().pa_stream_get_index(s_), ToCvolume(word, v), &Answer::OnContext, &answer);
    const MMRESULT r = FinishLocked(lock, op, answer, "setting the volume");
    if (r == MMSYSERR_NOERROR) volume_ = word;
    return r;
  }

  // Waits for an operation's answer (bounded); the text of a failure says
  // what was being done.
  MMRESULT FinishLocked(std::unique_lock<std::mutex>& lock, pa_operation* op, Answer& answer,
                        const char* what) {
    if (op == nullptr)
      return Fail(std::string(what) + ": " + Pa().pa_strerror(Pa().pa_context_errno(c_->context)),
                  MMSYSERR_ERROR);
    const bool answered = c_->Await(lock, [&] { return answer.done; });
    if (!answered) Pa().pa_operation_cancel(op);
    Pa().pa_operation_unref(op);
    if (!answered) {
      return Fail(std::string(what) + ": " +
                      (c_->Lost() ? c_->LostReason() : NoAnswerText(c_->settings().timeout)),
                  MMSYSERR_ERROR);
    }
    if (!answer.success)
      return Fail(std::string(what) + ": " + Pa().pa_strerror(Pa().pa_context_errno(c_->context)),
                  MMSYSERR_ERROR);
    return MMSYSERR_NOERROR;
  }

  // Callbacks of the library, on the loop thread under mu.

  static void OnState(pa_stream* s, void* self) {
    auto* me = static_cast<ServerStream*>(self);
    me->c_->cv.notify_all();
    if (s != me->s_ || PA_STREAM_IS_GOOD(Pa().pa_stream_get_state(s))) return;
    me->BreakLocked(me->c_->Lost() ? me->c_->LostReason()
                                   : Pa().pa_strerror(Pa().pa_context_errno(me->c_->context)));
  }

  static void OnWritable(pa_stream*, size_t, void* self) {
    auto* me = static_cast<ServerStream*>(self);
    if (me->sent_ < me->queued_) me->PumpLocked();
  }

  static void OnDrained(pa_stream*, int success, void* self) {
    auto* me = static_cast<ServerStream*>(self);
    Pa().pa_operation_unref(me->drain_);
    me->drain_ = nullptr;
    if (!success && (me->c_->Lost() || !PA_STREAM_IS_GOOD(Pa().pa_stream_get_state(me->s_)))) {
      me->BreakLocked(me->c_->Lost() ? me->c_->LostReason()
                                     : Pa().pa_strerror(Pa().pa_context_errno(me->c_->context)));
      return;
    }
    if (success) return me->DrainOn(DrainEvent::kDrained);
    me->DrainOn(DrainEvent::kRefused, "the server refused to drain the stream");
  }

  static void OnDeadline(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
    auto* me = static_cast<ServerStream*>(self);
    if (me->s_ != nullptr) me->DrainOn(DrainEvent::kDeadline, "no answer from the server");
  }

  // The answer to a look: where the server reads, against the last look.
  static void OnProbe(pa_stream* s, int success, void* self) {
    auto* me = static_cast<ServerStream*>(self);
    Pa().pa_operation_unref(me->probe_);
    me->probe_ = nullptr;
    const pa_timing_info* t = success ? Pa().pa_stream_get_timing_info(s) : nullptr;
    if (t == nullptr) return me->DrainOn(DrainEvent::kNoAnswer, "no answer from the server");
    if (me->probeRead_ >= 0 && t->read_index <= me->probeRead_) {
      return me->DrainOn(DrainEvent::kReadStill, t->read_index >= t->write_index
                                                     ? "all played, but the server did not say so"
                                                     : "playback stopped");
    }
    me->probeRead_ = t->read_index;
    const int64_t left = std::max<int64_t>(t->write_index - t->read_index, 0);
    me->probeRest_ = BytesToUsec(static_cast<uint64_t>(left), &me->sampleFormat_);
    me->DrainOn(DrainEvent::kReadOn);
  }

  // Moves the drain by `event` (sound/PulseDrain.h) and does what the move
  // asks; `why` says why a drain given up was given up.
  void DrainOn(DrainEvent event, const char* why = "") {
    const DrainStep step = NextDrainStep(drainState_, event);
    drainState_ = step.next;
    switch (step.action) {
      case DrainAction::kNone:
        return;
      case DrainAction::kAskDrain:
        return AskDrainLocked();
      case DrainAction::kSetDeadline:
        return ArmDeadlineLocked();
      case DrainAction::kAskPosition:
        return AskPositionLocked();
      case DrainAction::kWaitForRest:
        return RestartDeadline(2 * probeRest_ + kRecheckSlackUsec);
      case DrainAction::kFinish:
        return FinishDrainLocked();
      case DrainAction::kGiveUp:
        CancelDrainLocked();
        return GiveUpDrainLocked(why);
      case DrainAction::kStopClock:
        CancelLocked(probe_);
        return Disarm(deadline_);
      case DrainAction::kCancel:
        return CancelDrainLocked();
    }
  }

  void CancelDrainLocked() {
    CancelLocked(drain_);
    CancelLocked(probe_);
    Disarm(deadline_);
  }

  void AskPositionLocked() {
    probe_ = Pa().pa_stream_update_timing_info(s_, &OnProbe, this);
    if (probe_ == nullptr) return DrainOn(DrainEvent::kNoAnswer, "no answer from the server");
    RestartDeadline(kProbeWaitUsec);
  }

  void FinishDrainLocked() {
    CancelLocked(probe_);
    Disarm(deadline_);
    played_ = std::max(played_, drainMark_);
    CompleteLocked(played_);
    PumpLocked();
    ArmDrainLocked();
    ArmClockLocked();
  }

  void RestartDeadline(pa_usec_t fromNow) {
    Pa().pa_context_rttime_restart(c_->context, deadline_, Pa().pa_rtclock_now() + fromNow);
  }

  // A drain that did not finish: its buffers are done anyway, and the next
  // write goes to a new server stream. Said once per backend.
  void GiveUpDrainLocked(const std::string& why) {
    if (!reports_->drainTimeoutSaid.exchange(true)) {
      const auto waited = Clock::now() - drainSince_;
      const std::string line = Who() + ": a drain did not finish within " + Milliseconds(waited) +
                               " (" + why + "); going on with a new stream (reported once)\n";
      std::fputs(line.c_str(), stderr);
    }
    DropServerStreamLocked();
    CompleteAllLocked();
  }

  static void OnClock(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
    auto* me = static_cast<ServerStream*>(self);
    if (me->s_ == nullptr || me->timing_ != nullptr) return;
    me->timing_ = Pa().pa_stream_update_timing_info(me->s_, &OnTiming, me);
  }

  static void OnTiming(pa_stream* s, int success, void* self) {
    auto* me = static_cast<ServerStream*>(self);
    Pa().pa_operation_unref(me->timing_);
    me->timing_ = nullptr;
    pa_usec_t latency = 0;
    int negative = 0;
    if (success && Pa().pa_stream_get_latency(s, &latency, &negative) == 0) {
      const uint64_t ahead = negative ? 0 : UsecToBytes(latency, &me->sampleFormat_);
      if (me->sent_ > ahead) {
        // Never the last buffer: its end is the drain's to say.
        const uint64_t reached = std::min(me->sent_ - ahead, me->queued_ - 1);
        if (reached > me->played_) {
          me->played_ = reached;
          me->CompleteLocked(reached);
        }
      }
    }
    me->ArmClockLocked();
  }

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
  uint32_t volume_ = kFullVolume;
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

void PulseConnection::ReportFinished(std::unique_lock<std::mutex>& lock) {
  reportPending_ = false;
  lock.unlock();
  {
    std::lock_guard<std::mutex> report(reportMu);
    for (size_t i = 0;; ++i) {
      ServerStream* s;
      {
        std::lock_guard<std::mutex> again(mu);
        if (i >= streams_.size()) break;
        s = streams_[i];
      }
      s->ReportLocked();  // streams are destroyed only under reportMu
    }
  }
  lock.lock();
}

// One open device's stream: takes a server stream from the backend and
// gives it back when closed.
class PulseBackend : public WaveOutBackend {
 public:
  explicit PulseBackend(const PulseOutputSettings& settings)
      : devices_(std::make_shared<PulseShared>()), shared_(devices_.shared()) {
    shared_.settings = settings;
  }

  MMRESULT GetCaps(WAVEOUTCAPS& caps) override {
    std::shared_ptr<PulseConnection> c;
    if (const MMRESULT r = Connection(c)) return r;
    caps = WAVEOUTCAPS{};
    const std::string name =
        "PulseAudio " +
        (shared_.settings.sink.empty() ? std::string("default") : shared_.settings.sink);
    std::snprintf(caps.szPname, sizeof caps.szPname, "%s", name.c_str());
    caps.wChannels = 2;
    caps.dwFormats = (1u << 12) - 1;  // the server converts any of them
    caps.dwSupport = WAVECAPS_VOLUME | WAVECAPS_LRVOLUME | WAVECAPS_SAMPLEACCURATE;
    return MMSYSERR_NOERROR;
  }

  // Answers by having a stream of the format ready (created now when the
  // idle one is of another format or broken), so a sink or format the
  // server refuses is reported here, before any open. The stream waits idle
  // for the open.
  MMRESULT Query(const WAVEFORMATEX& format) override {
    pa_sample_spec sampleFormat;
    if (!ToSampleFormat(format, sampleFormat)) return BadFormat(format);
    // A stream cut off by a lost server is handed to the next open, whose
    // first write says so; the query does not end the run before that.
    if (devices_.IdleFits([&](ServerStream& idle) {
          return SameSampleFormat(idle.sampleFormat(), sampleFormat) &&
                 (idle.InterruptedUnreported() || idle.Usable());
        }))
      return MMSYSERR_NOERROR;
    std::unique_ptr<ServerStream> s;
    if (const MMRESULT r = Take(sampleFormat, s)) return r;
    devices_.Idle(std::move(s));
    return MMSYSERR_NOERROR;
  }

  MMRESULT Open(const WAVEFORMATEX& format, WaveOutSink& sink,
                std::unique_ptr<WaveOutStream>& stream) override {
    pa_sample_spec sampleFormat;
    if (!ToSampleFormat(format, sampleFormat)) return BadFormat(format);
    std::unique_ptr<ServerStream> s;
    if (const MMRESULT r = Take(sampleFormat, s)) return r;
    return devices_.Hand(std::move(s), sink, stream);
  }

  void Recycle(std::unique_ptr<WaveOutStream> stream) override {
    devices_.Recycle(std::move(stream));
  }

  std::string ErrorText(MMRESULT code) override { return shared_.reports->texts.Get(code); }

  // Connects now, waiting at most `timeout`; the failure text is recorded
  // for ErrorText.
  MMRESULT ConnectNow(std::chrono::milliseconds timeout, bool& tookIt) {
    std::shared_ptr<PulseConnection> c;
    return Connection(c, timeout, &tookIt);
  }

 private:
  MMRESULT BadFormat(const WAVEFORMATEX& f) {
    return shared_.reports->texts.Set(
        WAVERR_BADFORMAT, "PulseAudio output: format not playable (tag " +
                              std::to_string(f.wFormatTag) + ", " + std::to_string(f.nChannels) +
                              " channels, " + std::to_string(f.nSamplesPerSec) + " Hz, " +
                              std::to_string(f.wBitsPerSample) + " bits, block align " +
                              std::to_string(f.nBlockAlign) + ")");
  }

  // The live connection, connecting (again) when there is none.
  MMRESULT Connection(std::shared_ptr<PulseConnection>& out) {
    return Connection(out, shared_.settings.timeout);
  }
  MMRESULT Connection(std::shared_ptr<PulseConnection>& out, std::chrono::milliseconds timeout,
                      bool* tookIt = nullptr) {
    std::lock_guard<std::mutex> lock(shared_.mu);
    if (shared_.connection && !shared_.connection->LostNow()) {
      out = shared_.connection;
      return MMSYSERR_NOERROR;
    }
    std::string reason;
    const PulseApi* api = LoadPulseApi(reason);
    if (api == nullptr) return shared_.reports->texts.Set(MMSYSERR_NODRIVER, reason);
    gPulse.store(api, std::memory_order_release);
    auto c = std::make_shared<PulseConnection>(shared_.settings);
    bool took = false;
    const MMRESULT r = c->Connect(timeout, reason, took);
    if (tookIt != nullptr) *tookIt = took;
    if (r != MMSYSERR_NOERROR) return shared_.reports->texts.Set(r, reason);
    shared_.connection = c;
    out = std::move(c);
    return MMSYSERR_NOERROR;
  }

  // The idle stream when it has this format and still works (or when it was
  // cut off by a lost server and has not said so yet: its first write will);
  // otherwise a new one.
  MMRESULT Take(const pa_sample_spec& sampleFormat, std::unique_ptr<ServerStream>& out) {
    const auto keep = [&](ServerStream& idle) -> std::optional<MMRESULT> {
      if (!SameSampleFormat(idle.sampleFormat(), sampleFormat)) return std::nullopt;
      if (idle.InterruptedUnreported()) return MMSYSERR_NOERROR;
      if (!idle.Usable()) return std::nullopt;
      std::shared_ptr<PulseConnection> c;
      if (const MMRESULT r = Connection(c)) return r;
      if (idle.connection() != c.get()) return std::nullopt;
      return idle.Prepare();  // after a drain given up, a new server stream
    };
    const auto open = [&](std::unique_ptr<ServerStream>& opened) {
      std::shared_ptr<PulseConnection> c;
      if (const MMRESULT r = Connection(c)) return r;
      auto s = std::make_unique<ServerStream>(c, shared_.reports, sampleFormat);
      if (const MMRESULT r = s->Prepare()) return r;
      opened = std::move(s);
      return MMRESULT{MMSYSERR_NOERROR};
    };
    return devices_.Take(keep, open, out);
  }

  KeptDevices<ServerStream, PulseShared> devices_;
  PulseShared& shared_;
};

bool ParseLatency(const std::string& text, std::chrono::microseconds& out) {
  std::string number = text;
  if (number.size() > 2 && number.compare(number.size() - 2, 2, "ms") == 0)
    number.resize(number.size() - 2);
  if (number.empty() || number.size() > 12) return false;
  bool dot = false;
  for (char ch : number) {
    if (ch == '.' && !dot) {
      dot = true;
    } else if (ch < '0' || ch > '9') {
      return false;
    }
  }
  if (number.front() == '.' || number.back() == '.') return false;
  const double ms = std::strtod(number.c_str(), nullptr);
  if (!(ms >= 0.5 && ms <= 100.0)) return false;
  out = std::chrono::microseconds(std::llround(ms * 1000.0));
  return true;
}

}  // namespace

bool ParsePulseSetting(const std::string& rest, PulseOutputSettings& settings) {
  PulseOutputSettings s = settings;
  std::string sinkPart = rest;
  const size_t q = rest.find('?');
  if (q != std::string::npos) {
    const std::string option = rest.substr(q + 1);
    const std::string key = "latency=";
    if (option.compare(0, key.size(), key) != 0 ||
        !ParseLatency(option.substr(key.size()), s.latency))
      return false;
    sinkPart = rest.substr(0, q);
  }
  if (!sinkPart.empty()) {
    if (sinkPart[0] != ':' || sinkPart.size() == 1) return false;
    s.sink = sinkPart.substr(1);
  }
  settings = s;
  return true;
}

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
  auto candidate = std::make_unique<PulseBackend>(PulseOutputSettings{});
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
