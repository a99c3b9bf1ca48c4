#pragma once
// One connection to the sound server and the thread that runs its main loop
// (sound/Pulse.h says what the output promises).
//
// Locking: `mu` guards the client library's objects and every PulseStream's
// state. The loop thread holds it except while it waits in poll, so the
// library's callbacks run under it; other threads take it for each call
// into the library and wait for answers on `cv`. Finished buffers are handed
// to their sinks outside `mu` while `reportMu` is held (taken before `mu`,
// never after), so reports of one stream keep their order and a stream is
// not destroyed while its buffers are being reported.

#include <poll.h>
#include <pulse/pulseaudio.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/mmsystem.h"
#include "runtime/BoundedWaits.h"
#include "sound/PulseApi.h"
#include "sound/PulseSettings.h"

namespace tw {

class PulseStream;

class PulseConnection {
 public:
  using Clock = std::chrono::steady_clock;

  // Needs the library's table set (SetPulseApi). Starts the loop thread;
  // does not connect yet.
  explicit PulseConnection(const PulseOutputSettings& settings);
  // Ends the loop thread and disconnects. No stream may be left.
  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  // Connects, waiting at most `timeout` (less once the sound waits are
  // cancelled). On failure the text (naming the server) is in `reason`.
  // `tookIt` says whether a server took the connection (it answered, or
  // was still answering when the time ran out).
  MMRESULT Connect(std::chrono::milliseconds timeout, std::string& reason, bool& tookIt);

  // The server as the failure texts name it. Under mu.
  std::string Who() const;

  // The connection failed or was closed by the server. Under mu.
  bool Lost() const { return !PA_CONTEXT_IS_GOOD(Pa().pa_context_get_state(context)); }
  std::string LostReason() const { return Pa().pa_strerror(Pa().pa_context_errno(context)); }
  // The same, taking mu.
  bool LostNow() {
    std::lock_guard<std::mutex> lock(mu);
    return Lost();
  }

  // Lets the loop notice calls made from other threads. Under mu.
  void Wake() { Pa().pa_mainloop_wakeup(loop_); }
  pa_mainloop_api* Api() { return Pa().pa_mainloop_get_api(loop_); }
  const PulseOutputSettings& settings() const { return settings_; }

  // Waits on cv until done() holds, the connection is lost, the settings'
  // timeout passes or the sound waits are cancelled; returns done(). Under
  // mu (held by lock).
  template <typename Done>
  bool Await(std::unique_lock<std::mutex>& lock, Done done) {
    Wake();
    WaitFor(lock, Clock::now() + settings_.timeout, [&] { return done() || Lost(); });
    return done();
  }

  // Waits on cv until done() holds or `deadline` passes, giving up within
  // kBoundedWaitSlice once the sound waits are cancelled. Under mu.
  template <typename Done>
  bool WaitFor(std::unique_lock<std::mutex>& lock, Clock::time_point deadline, Done done) {
    return WaitUnlessCancelled(deadline, done, [&](auto until) { cv.wait_until(lock, until); });
  }

  // Streams register so the loop can hand over their finished buffers.
  // Under mu.
  void Register(PulseStream* s) { streams_.push_back(s); }
  void Unregister(PulseStream* s) { std::erase(streams_, s); }
  // A stream has finished buffers to report: the loop hands them over
  // (PulseStream::ReportLocked) outside mu. Under mu.
  void ReportSoon() {
    reportPending_ = true;
    Wake();
  }

  std::mutex reportMu;
  std::mutex mu;
  std::condition_variable cv;
  pa_context* context = nullptr;

 private:
  static int PollUnlocked(pollfd* fds, unsigned long count, int timeout, void* self);
  static void OnContextState(pa_context*, void* self);
  void Run();
  void ReportFinished(std::unique_lock<std::mutex>& lock);

  const PulseOutputSettings settings_;
  pa_mainloop* loop_ = nullptr;
  std::thread thread_;
  bool quit_ = false;
  bool reportPending_ = false;
  std::vector<PulseStream*> streams_;
};

// The outcome of one library operation that a caller waits for (Await):
// its callbacks (OnStream, OnContext) record the answer and wake the waiter.
struct PulseAnswer {
  PulseConnection* connection;
  bool done = false;
  int success = 0;
  static void OnStream(pa_stream*, int success, void* self) {
    static_cast<PulseAnswer*>(self)->Set(success);
  }
  static void OnContext(pa_context*, int success, void* self) {
    static_cast<PulseAnswer*>(self)->Set(success);
  }
  void Set(int s) {
    done = true;
    success = s;
    connection->cv.notify_all();
  }
};

}  // namespace tw
