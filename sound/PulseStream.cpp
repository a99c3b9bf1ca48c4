// The server's side of a stream: creating the server's stream, giving it up
// when it fails, and the calls whose answer is waited for (cork, volume).
#include "sound/PulseStream.h"

#include <algorithm>
#include <cmath>

#include "sound/PulseFormat.h"

namespace tw {
namespace {
constexpr char kStreamName[] = "Tonewell";
constexpr uint32_t kFullVolume = 0xFFFFFFFFu;
}  // namespace

PulseStream::PulseStream(std::shared_ptr<PulseConnection> connection,
                         std::shared_ptr<PulseReports> reports, const pa_sample_spec& sampleFormat)
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

PulseStream::~PulseStream() {
  std::lock_guard<std::mutex> report(c_->reportMu);
  std::lock_guard<std::mutex> lock(c_->mu);
  DropServerStreamLocked();
  if (deadline_ != nullptr) c_->Api()->time_free(deadline_);
  if (clock_ != nullptr) c_->Api()->time_free(clock_);
  c_->Unregister(this);
}

MMRESULT PulseStream::Prepare() {
  std::unique_lock<std::mutex> lock(c_->mu);
  if (broken_) return reports_->texts.Set(MMSYSERR_ERROR, failure_);
  return s_ != nullptr ? MMSYSERR_NOERROR : CreateLocked(lock);
}

bool PulseStream::Usable() {
  std::lock_guard<std::mutex> lock(c_->mu);
  return !broken_ && !c_->Lost();
}

bool PulseStream::InterruptedUnreported() {
  std::lock_guard<std::mutex> lock(c_->mu);
  return broken_ && interrupted_;
}

MMRESULT PulseStream::Attach(WaveOutSink* sink) {
  std::unique_lock<std::mutex> lock(c_->mu);
  sink_ = sink;
  ClearCountersLocked();
  paused_ = false;
  if (volume_ != kFullVolume && s_ != nullptr && !broken_)
    return SetVolumeLocked(lock, kFullVolume);
  volume_ = kFullVolume;
  return MMSYSERR_NOERROR;
}

MMRESULT PulseStream::Detach(bool force) {
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

MMRESULT PulseStream::DetachLocked(std::unique_lock<std::mutex>& lock) {
  if (done_ < entries_.size() && s_ != nullptr) FlushLocked();
  if (paused_ && s_ != nullptr && !broken_) CorkLocked(lock, false);
  paused_ = false;
  sink_ = nullptr;
  ClearCountersLocked();
  return MMSYSERR_NOERROR;
}

MMRESULT PulseStream::GetVolume(uint32_t& volume) {
  std::unique_lock<std::mutex> lock(c_->mu);
  if (broken_) return reports_->texts.Set(MMSYSERR_ERROR, failure_);
  if (s_ == nullptr) {
    volume = volume_;
    return MMSYSERR_NOERROR;
  }
  struct Info {
    PulseAnswer answer;
    pa_cvolume volume{};
    static void On(pa_context*, const pa_sink_input_info* i, int eol, void* self) {
      auto* info = static_cast<Info*>(self);
      if (i != nullptr) info->volume = i->volume;
      if (eol != 0) info->answer.Set(eol > 0 && info->volume.channels > 0);
    }
  } info{PulseAnswer{c_.get()}};
  pa_operation* op = Pa().pa_context_get_sink_input_info(c_->context, Pa().pa_stream_get_index(s_),
                                                         &Info::On, &info);
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

MMRESULT PulseStream::SetVolume(uint32_t volume) {
  std::unique_lock<std::mutex> lock(c_->mu);
  if (broken_) return reports_->texts.Set(MMSYSERR_ERROR, failure_);
  if (s_ == nullptr) {
    volume_ = volume;  // applied when the server's stream is created
    return MMSYSERR_NOERROR;
  }
  return SetVolumeLocked(lock, volume);
}

std::string PulseStream::Who() const {
  std::string who = c_->Who() + ", stream \"" + kStreamName + "\"";
  if (!sinkName_.empty()) who += " on sink \"" + sinkName_ + "\"";
  return who;
}

// Records why the server's stream cannot be had (naming server, stream and
// sink) and returns code with that text.
MMRESULT PulseStream::Fail(const std::string& reason, MMRESULT code) {
  return reports_->texts.Set(code, Who() + ": " + reason);
}

// The server's stream, connected to the sink and ready (bounded wait).
MMRESULT PulseStream::CreateLocked(std::unique_lock<std::mutex>& lock) {
  if (c_->Lost()) return Fail(c_->LostReason(), MMSYSERR_NODRIVER);
  pa_stream* s = Pa().pa_stream_new(c_->context, kStreamName, &sampleFormat_, &map_);
  if (s == nullptr)
    return Fail(Pa().pa_strerror(Pa().pa_context_errno(c_->context)), MMSYSERR_ERROR);
  Pa().pa_stream_set_state_callback(s, &OnState, this);
  Pa().pa_stream_set_write_callback(s, &OnWritable, this);
  const auto& settings = c_->settings();
  const pa_buffer_attr attr = BufferAttributes();
  pa_cvolume volume;
  const pa_cvolume* initial = volume_ != kFullVolume ? ToCvolume(volume_, volume) : nullptr;
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
    CloseServerStream(s);
    return Fail(reason, MMSYSERR_ERROR);
  }
  if (const MMRESULT r = AdoptLocked(s)) return r;
  if (paused_) return CorkLocked(lock, true);
  return MMSYSERR_NOERROR;
}

// The stream's target length is the latency; the server asks for more at a
// third of it, and starts playing at the first frame.
pa_buffer_attr PulseStream::BufferAttributes() const {
  const auto frame = static_cast<uint32_t>(frameBytes_);
  pa_buffer_attr attr;
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = static_cast<uint32_t>(
      UsecToBytes(static_cast<pa_usec_t>(c_->settings().latency.count()), &sampleFormat_));
  attr.tlength = std::max<uint32_t>(attr.tlength, frame);
  attr.minreq = std::max<uint32_t>(attr.tlength / 3 / frame * frame, frame);
  attr.prebuf = frame;
  attr.fragsize = static_cast<uint32_t>(-1);
  return attr;
}

// Takes the ready server's stream `s` as this one's, unless the server put
// it on another sink than the one named: a server puts a stream for a sink
// it does not have on another one, and a named sink that is missing is an
// error, not a quiet fallback (`s` is closed then).
MMRESULT PulseStream::AdoptLocked(pa_stream* s) {
  const char* name = Pa().pa_stream_get_device_name(s);
  const std::string placedOn = name != nullptr ? name : "";
  const std::string& wanted = c_->settings().sink;
  if (!wanted.empty() && placedOn != wanted) {
    CloseServerStream(s);
    return Fail("no sink named \"" + wanted + "\" (see pactl list short sinks)",
                MMSYSERR_BADDEVICEID);
  }
  s_ = s;
  sinkName_ = placedOn;
  const pa_buffer_attr* actual = Pa().pa_stream_get_buffer_attr(s);
  maxInFlight_ = actual != nullptr ? actual->maxlength : 4u << 20;
  return MMSYSERR_NOERROR;
}

// Lets go of a server's stream without waiting: no callback of it runs
// after this.
void PulseStream::CloseServerStream(pa_stream* s) {
  Pa().pa_stream_set_state_callback(s, nullptr, nullptr);
  Pa().pa_stream_set_write_callback(s, nullptr, nullptr);
  Pa().pa_stream_disconnect(s);
  Pa().pa_stream_unref(s);
}

void PulseStream::DropServerStreamLocked() {
  DrainOn(DrainEvent::kDropped);
  CancelLocked(timing_);
  Disarm(clock_);
  if (s_ == nullptr) return;
  CloseServerStream(s_);
  s_ = nullptr;
}

// The server's stream failed (or the connection went): everything queued
// is done, and the stream is unusable from now on.
void PulseStream::BreakLocked(const std::string& reason) {
  if (broken_) return;
  broken_ = true;
  interrupted_ = done_ < entries_.size();
  failure_ = Who() + ": " + reason;
  DropServerStreamLocked();
  CompleteAllLocked();
}

MMRESULT PulseStream::CorkLocked(std::unique_lock<std::mutex>& lock, bool cork) {
  PulseAnswer answer{c_.get()};
  pa_operation* op = Pa().pa_stream_cork(s_, cork ? 1 : 0, &PulseAnswer::OnStream, &answer);
  return FinishLocked(lock, op, answer, cork ? "pausing" : "resuming");
}

const pa_cvolume* PulseStream::ToCvolume(uint32_t word, pa_cvolume& v) const {
  const pa_volume_t left = Pa().pa_sw_volume_from_linear((word & 0xFFFF) / 65535.0);
  const pa_volume_t right = Pa().pa_sw_volume_from_linear((word >> 16) / 65535.0);
  v.channels = sampleFormat_.channels;
  for (unsigned i = 0; i < sampleFormat_.channels; ++i)
    v.values[i] = (sampleFormat_.channels == 1 || i % 2 == 0) ? left : right;
  return &v;
}

MMRESULT PulseStream::SetVolumeLocked(std::unique_lock<std::mutex>& lock, uint32_t word) {
  pa_cvolume v;
  PulseAnswer answer{c_.get()};
  pa_operation* op =
      Pa().pa_context_set_sink_input_volume(c_->context, Pa().pa_stream_get_index(s_),
                                            ToCvolume(word, v), &PulseAnswer::OnContext, &answer);
  const MMRESULT r = FinishLocked(lock, op, answer, "setting the volume");
  if (r == MMSYSERR_NOERROR) volume_ = word;
  return r;
}

// Waits for an operation's answer (bounded); the text of a failure says
// what was being done.
MMRESULT PulseStream::FinishLocked(std::unique_lock<std::mutex>& lock, pa_operation* op,
                                   PulseAnswer& answer, const char* what) {
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

void PulseStream::CancelLocked(pa_operation*& op) {
  if (op == nullptr) return;
  Pa().pa_operation_cancel(op);
  Pa().pa_operation_unref(op);
  op = nullptr;
}

void PulseStream::Disarm(pa_time_event* e) {
  if (e != nullptr) Pa().pa_context_rttime_restart(c_->context, e, PA_USEC_INVALID);
}

// Callbacks of the library, on the loop thread under mu.

void PulseStream::OnState(pa_stream* s, void* self) {
  auto* me = static_cast<PulseStream*>(self);
  me->c_->cv.notify_all();
  if (s != me->s_ || PA_STREAM_IS_GOOD(Pa().pa_stream_get_state(s))) return;
  me->BreakLocked(me->c_->Lost() ? me->c_->LostReason()
                                 : Pa().pa_strerror(Pa().pa_context_errno(me->c_->context)));
}

void PulseStream::OnWritable(pa_stream*, size_t, void* self) {
  auto* me = static_cast<PulseStream*>(self);
  if (me->sent_ < me->queued_) me->PumpLocked();
}

}  // namespace tw
