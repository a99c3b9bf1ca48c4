#include "sound/PipeWireConnection.h"

#include <spa/utils/dict.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tw {
namespace {

constexpr char kClientName[] = "Tonewell";

// A registry listing that looks for one node.
struct NodeSearch {
  const std::string* target;
  bool found = false;
  static void OnGlobal(void* self, uint32_t, uint32_t, const char* type, uint32_t,
                       const spa_dict* props) {
    auto* me = static_cast<NodeSearch*>(self);
    if (props == nullptr || std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0) return;
    const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
    const char* serial = spa_dict_lookup(props, PW_KEY_OBJECT_SERIAL);
    if ((name != nullptr && *me->target == name) || (serial != nullptr && *me->target == serial))
      me->found = true;
  }
};

}  // namespace

PipeWireConnection::PipeWireConnection(const PipeWireApi& api,
                                       const PipeWireOutputSettings& settings)
    : api_(api), settings_(settings) {
  loop_ = api_.pw_thread_loop_new("tonewell-pipewire", nullptr);
  if (loop_ == nullptr) return;
  // The configuration of real-time clients: the thread that copies the
  // sound runs with real-time priority where the system allows it, so a
  // busy machine does not make it miss the graph's cycles.
  pw_properties* props = api_.pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr);
  context_ = api_.pw_context_new(api_.pw_thread_loop_get_loop(loop_), props, 0);
  if (context_ == nullptr) contextErrno_ = errno;
  coreEvents_.version = PW_VERSION_CORE_EVENTS;
  coreEvents_.done = &OnDone;
  coreEvents_.error = &OnError;
}

PipeWireConnection::~PipeWireConnection() {
  if (loop_ == nullptr) return;
  api_.pw_thread_loop_stop(loop_);  // the loop thread is gone: no lock needed
  if (core_ != nullptr) {
    spa_hook_remove(&coreListener_);
    api_.pw_core_disconnect(core_);
  }
  if (context_ != nullptr) api_.pw_context_destroy(context_);
  api_.pw_thread_loop_destroy(loop_);
}

std::string PipeWireConnection::SocketPath() {
  const char* remote = std::getenv("PIPEWIRE_REMOTE");
  const std::string name = remote != nullptr && *remote != '\0' ? remote : "pipewire-0";
  if (name[0] == '/') return name;
  const char* dir = std::getenv("PIPEWIRE_RUNTIME_DIR");
  if (dir == nullptr) dir = std::getenv("XDG_RUNTIME_DIR");
  return std::string(dir != nullptr ? dir : "") + "/" + name;
}

std::string PipeWireConnection::Who() { return "PipeWire daemon \"" + SocketPath() + "\""; }

std::string PipeWireConnection::LostReason() const {
  std::lock_guard<std::mutex> lock(reasonMu_);
  return lostReason_;
}

MMRESULT PipeWireConnection::Connect(std::chrono::milliseconds timeout, std::string& reason,
                                     bool& tookIt) {
  tookIt = false;
  if (context_ == nullptr) {
    // Most often its modules are missing (the protocol among them).
    reason = Who() + ": the client library could not start (" + std::strerror(contextErrno_) +
             "; its modules come with the Debian package libpipewire-0.3-modules)";
    return MMSYSERR_NODRIVER;
  }
  if (api_.pw_thread_loop_start(loop_) < 0) {
    reason = Who() + ": the client library's thread could not start";
    return MMSYSERR_NODRIVER;
  }
  Lock lock(*this);
  pw_properties* props = api_.pw_properties_new(PW_KEY_APP_NAME, kClientName, nullptr);
  core_ = api_.pw_context_connect(context_, props, 0);
  if (core_ == nullptr) {
    reason = Who() + ": " + std::strerror(errno);
    return MMSYSERR_NODRIVER;
  }
  tookIt = true;
  pw_core_add_listener(core_, &coreListener_, &coreEvents_, this);
  if (RoundTrip(timeout)) return MMSYSERR_NOERROR;
  reason = Who() + ": " + (Lost() ? LostReason() : NoAnswerText(timeout));
  return MMSYSERR_NODRIVER;
}

void PipeWireConnection::WaitUntil(std::chrono::steady_clock::time_point until) {
  // The loop's clock need not be the steady one: its deadline is made from
  // the time left.
  const auto left = until - std::chrono::steady_clock::now();
  if (left <= left.zero()) return;
  timespec deadline{};
  api_.pw_thread_loop_get_time(loop_, &deadline,
                               std::chrono::duration_cast<std::chrono::nanoseconds>(left).count());
  api_.pw_thread_loop_timed_wait_full(loop_, &deadline);
}

bool PipeWireConnection::RoundTrip(std::chrono::milliseconds timeout) {
  roundTripDone_ = false;
  pendingSeq_ = pw_core_sync(core_, PW_ID_CORE, 0);
  return Await(timeout, [&] { return roundTripDone_; });
}

bool PipeWireConnection::FindNode(const std::string& target, bool& found, std::string& reason) {
  NodeSearch search{&target};
  pw_registry_events events{};
  events.version = PW_VERSION_REGISTRY_EVENTS;
  events.global = &NodeSearch::OnGlobal;
  pw_registry* registry = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
  if (registry == nullptr) {
    reason = std::strerror(errno);
    return false;
  }
  spa_hook listener{};
  pw_registry_add_listener(registry, &listener, &events, &search);
  const bool answered = RoundTrip(settings_.timeout);
  spa_hook_remove(&listener);
  api_.pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
  found = search.found;
  if (!answered) reason = Lost() ? LostReason() : NoAnswerText(settings_.timeout);
  return answered;
}

void PipeWireConnection::OnDone(void* self, uint32_t id, int seq) {
  auto* me = static_cast<PipeWireConnection*>(self);
  if (id != PW_ID_CORE || seq != me->pendingSeq_) return;
  me->roundTripDone_ = true;
  me->Signal();
}

// An error about the core itself ends the connection (the daemon closed it
// or went away); errors about other objects reach them on their own.
void PipeWireConnection::OnError(void* self, uint32_t id, int, int res, const char* message) {
  auto* me = static_cast<PipeWireConnection*>(self);
  if (id != PW_ID_CORE || me->lost_.load()) return;
  std::string reason = std::strerror(res < 0 ? -res : res);
  if (message != nullptr && *message != '\0' && reason != message)
    reason += std::string(" (") + message + ")";
  {
    std::lock_guard<std::mutex> lock(me->reasonMu_);
    me->lostReason_ = reason;
  }
  me->lost_.store(true);
  for (PipeWireLossListener* l : me->listeners_) l->ConnectionLost(reason);
  me->Signal();
}

}  // namespace tw
