#pragma once
// One connection to the PipeWire daemon and the library's thread loop that
// serves it (sound/PipeWire.h says what the output promises).
//
// Locking: the thread loop's lock guards every object of the library; the
// loop thread holds it while it runs the library's callbacks. Other threads
// take it (Lock) for each call into the library and wait for answers in
// Await, which lets it go while waiting. A stream's own mutex is taken after
// the loop's lock, never before it.

#include <pipewire/pipewire.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "platform/mmsystem.h"
#include "runtime/BoundedWaits.h"
#include "sound/PipeWire.h"
#include "sound/PipeWireApi.h"

namespace tw {

// Told when the daemon closed the connection or failed it. On the loop
// thread, under the loop's lock.
class PipeWireLossListener {
 public:
  virtual ~PipeWireLossListener() = default;
  virtual void ConnectionLost(const std::string& reason) = 0;
};

class PipeWireConnection {
 public:
  // `api` is loaded and pw_init was called.
  PipeWireConnection(const PipeWireApi& api, const PipeWireOutputSettings& settings);
  ~PipeWireConnection();
  PipeWireConnection(const PipeWireConnection&) = delete;
  PipeWireConnection& operator=(const PipeWireConnection&) = delete;

  // Connects and waits at most `timeout` for the daemon's first answer. On
  // failure `reason` names the daemon, and `answered` says whether the
  // daemon took the connection at all (false: none there, or it refused).
  MMRESULT Connect(std::chrono::milliseconds timeout, std::string& reason, bool& tookIt);

  // The daemon as failure texts name it: `PipeWire daemon "SOCKET"`.
  static std::string Who();
  // The path of the daemon's socket as the library finds it.
  static std::string SocketPath();

  bool Lost() const { return lost_.load(); }
  std::string LostReason() const;

  // Holds the loop's lock for its lifetime.
  class Lock {
   public:
    explicit Lock(PipeWireConnection& c) : c_(c) { c_.api_.pw_thread_loop_lock(c_.loop_); }
    ~Lock() { c_.api_.pw_thread_loop_unlock(c_.loop_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    PipeWireConnection& c_;
  };

  // Waits, under Lock, until done() holds, the connection is lost,
  // `timeout` passes or the sound waits are cancelled (noticed within
  // kBoundedWaitSlice); returns done().
  template <typename Done>
  bool Await(std::chrono::milliseconds timeout, Done done) {
    WaitUnlessCancelled(
        std::chrono::steady_clock::now() + timeout, [&] { return done() || Lost(); },
        [this](std::chrono::steady_clock::time_point until) { WaitUntil(until); });
    return done();
  }

  // Wakes Await. Under Lock (or on the loop thread).
  void Signal() { api_.pw_thread_loop_signal(loop_, false); }

  // Whether the daemon has a node whose node.name or object.serial is
  // `target`. Under Lock; bounded by the settings' timeout. False with
  // `reason` set when the daemon did not answer.
  bool FindNode(const std::string& target, bool& found, std::string& reason);

  // Streams hear of a lost connection. Under Lock.
  void Listen(PipeWireLossListener* l) { listeners_.push_back(l); }
  void Unlisten(PipeWireLossListener* l) { std::erase(listeners_, l); }

  const PipeWireApi& api() const { return api_; }
  pw_core* core() const { return core_; }
  const PipeWireOutputSettings& settings() const { return settings_; }

 private:
  static void OnDone(void* self, uint32_t id, int seq);
  static void OnError(void* self, uint32_t id, int seq, int res, const char* message);
  // Lets go of the loop's lock until Signal or `until`. Under Lock.
  void WaitUntil(std::chrono::steady_clock::time_point until);
  // Asks the daemon for a round trip and waits for it. Under Lock.
  bool RoundTrip(std::chrono::milliseconds timeout);

  const PipeWireApi& api_;
  const PipeWireOutputSettings settings_;
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  int contextErrno_ = 0;  // why the context could not be made
  spa_hook coreListener_{};
  pw_core_events coreEvents_{};
  int pendingSeq_ = -1;  // the round trip waited for
  bool roundTripDone_ = false;
  std::atomic<bool> lost_{false};
  mutable std::mutex reasonMu_;  // guards lostReason_
  std::string lostReason_;
  std::vector<PipeWireLossListener*> listeners_;
};

}  // namespace tw
