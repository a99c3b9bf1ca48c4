#pragma once
// Waitable objects (events, the end of a thread) and the wait that keeps the
// waiting thread's callback windows served while it waits.

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace tw {

class MessageQueue;

inline constexpr uint32_t WAIT_OBJECT_0 = 0;
inline constexpr uint32_t WAIT_TIMEOUT = 0x102;
inline constexpr uint32_t WAIT_FAILED = 0xFFFFFFFFu;
inline constexpr uint32_t INFINITE = 0xFFFFFFFFu;

// Something a thread can wait for. Signalling wakes every thread waiting in
// WaitForSyncObject on it.
class SyncObject {
 public:
  SyncObject() = default;
  virtual ~SyncObject() = default;
  SyncObject(const SyncObject&) = delete;
  SyncObject& operator=(const SyncObject&) = delete;

  bool IsSignalled();

 protected:
  // Sets or clears the state; setting wakes the waiters.
  void SetState(bool Signalled);
  // Called by a waiter that finds the object signalled: an auto-reset
  // object consumes the signal here. Returns whether the wait is satisfied.
  bool TryAcquire();
  bool autoReset_ = false;

 private:
  friend uint32_t WaitForSyncObject(SyncObject* Handle, uint32_t TimeoutMs);
  void AddWaiter(const std::shared_ptr<MessageQueue>& Queue);
  void RemoveWaiter(const MessageQueue* Queue);

  std::mutex mutex_;
  bool signalled_ = false;
  std::vector<std::shared_ptr<MessageQueue>> waiters_;
};

// An event: manual-reset stays set until Reset; auto-reset releases one wait
// and clears itself.
class Event : public SyncObject {
 public:
  explicit Event(bool ManualReset = true, bool InitialState = false) {
    autoReset_ = !ManualReset;
    if (InitialState) SetState(true);
  }
  void Set() { SetState(true); }
  void Reset() { SetState(false); }
};

// Waits until Handle is signalled or TimeoutMs milliseconds have passed
// (INFINITE waits for ever; 0 only tests). While it waits, the messages of
// the calling thread's callback windows are dispatched on this thread as
// they arrive. Returns WAIT_OBJECT_0 when signalled, WAIT_TIMEOUT, WAIT_FAILED
// for a null handle, and WAIT_OBJECT_0 + 1 when a WM_QUIT thread message was
// taken from the queue (the wait ends at once).
uint32_t WaitForSyncObject(SyncObject* Handle, uint32_t TimeoutMs);

}  // namespace tw
