#include "sound/PulseConnection.h"

#include <cstdlib>

#include "sound/PulseStream.h"

namespace tw {
namespace {
constexpr char kClientName[] = "Tonewell";
}

PulseConnection::PulseConnection(const PulseOutputSettings& settings) : settings_(settings) {
  loop_ = Pa().pa_mainloop_new();
  Pa().pa_mainloop_set_poll_func(loop_, &PollUnlocked, this);
  pa_proplist* props = Pa().pa_proplist_new();
  Pa().pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, kClientName);
  context = Pa().pa_context_new_with_proplist(Pa().pa_mainloop_get_api(loop_), kClientName, props);
  Pa().pa_proplist_free(props);
  if (context != nullptr) Pa().pa_context_set_state_callback(context, &OnContextState, this);
  thread_ = std::thread([this] { Run(); });
}

PulseConnection::~PulseConnection() {
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

MMRESULT PulseConnection::Connect(std::chrono::milliseconds timeout, std::string& reason,
                                  bool& tookIt) {
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
  reason = Who() + ": " +
           (PA_CONTEXT_IS_GOOD(s) ? NoAnswerText(timeout)
                                  : std::string(Pa().pa_strerror(Pa().pa_context_errno(context))));
  return MMSYSERR_NODRIVER;
}

std::string PulseConnection::Who() const {
  const char* server = context == nullptr ? nullptr : Pa().pa_context_get_server(context);
  if (server == nullptr) server = std::getenv("PULSE_SERVER");
  return std::string("PulseAudio server \"") + (server != nullptr ? server : "default") + "\"";
}

int PulseConnection::PollUnlocked(pollfd* fds, unsigned long count, int timeout, void* self) {
  auto* c = static_cast<PulseConnection*>(self);
  c->mu.unlock();
  const int ready = poll(fds, count, timeout);
  c->mu.lock();
  return ready;
}

void PulseConnection::OnContextState(pa_context*, void* self) {
  static_cast<PulseConnection*>(self)->cv.notify_all();
}

void PulseConnection::Run() {
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

void PulseConnection::ReportFinished(std::unique_lock<std::mutex>& lock) {
  reportPending_ = false;
  lock.unlock();
  {
    std::lock_guard<std::mutex> report(reportMu);
    for (size_t i = 0;; ++i) {
      PulseStream* s;
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

}  // namespace tw
