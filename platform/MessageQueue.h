#pragma once
// The notification channel of the audio device objects: one message queue per
// thread, callback windows that belong to the thread that created them, and
// thread targets that post into a dedicated thread's queue.
//
// A device posts its notifications from whichever thread it likes (its own
// clock thread, or from inside a waveOut* call on the caller's thread); they
// are taken out only by the thread that owns the queue, in the order they
// were posted. Every wait here blocks on a condition variable: nothing spins
// and nothing sleeps in a loop.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/WaveOutApi.h"

namespace tw {

class CallbackWindow;
class SyncObject;

// One queued message. Window is null for a thread message (WM_QUIT and the
// notifications a device posts to a thread target).
struct QueuedMessage {
  CallbackWindow* Window = nullptr;
  uint32_t Message = 0;
  uintptr_t Param = 0;
};

// Something a thread's queue runs on that thread once a given time has
// come, while the thread waits in the queue (the owner's PumpOne, GetMessage,
// WaitForSyncObject), the way a window timer fires inside a message loop. A
// device that knows when its next notification is due sets one on the queue
// of the thread that will wait for it: that thread then wakes by itself at
// that time instead of being woken by another thread. A timer fires once per
// SetTimer; it must be killed before it is destroyed.
class QueueTimer {
 public:
  QueueTimer() = default;
  QueueTimer(const QueueTimer&) = delete;
  QueueTimer& operator=(const QueueTimer&) = delete;

  // On the queue's thread, with no lock of the queue held. May set the
  // timer again.
  virtual void OnQueueTimer() = 0;

 protected:
  ~QueueTimer() = default;

 private:
  friend class MessageQueue;
  QueueTimer* next_ = nullptr;  // the rest of the queue's timers
  std::chrono::steady_clock::time_point due_{};
  bool set_ = false;
};

// The message queue of one thread. Created on first use by that thread and
// closed when the thread ends; posts to a closed queue fail.
class MessageQueue {
 public:
  MessageQueue() = default;
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

  // The calling thread's queue (created when the thread first asks).
  static const std::shared_ptr<MessageQueue>& Current();
  // The calling thread's queue when it has one; null otherwise (nothing is
  // created).
  static MessageQueue* CurrentIfAny();

  // Sets Timer (or moves it, when set) to fire at Due on this queue's
  // thread. Callable from any thread. False, and nothing set, when the
  // queue is closed or nobody is expected to wait in it: it has no live
  // callback window and its thread has never waited in GetMessage.
  bool SetTimer(QueueTimer& Timer, std::chrono::steady_clock::time_point Due);
  // Takes Timer off the queue. When it is firing on the queue's thread and
  // this is another thread, waits until it has returned first, so the timer
  // may be destroyed afterwards. The caller must hold no lock the timer's
  // OnQueueTimer takes.
  void KillTimer(QueueTimer& Timer);

  std::thread::id Owner() const { return owner_; }

  // Appends a thread message. False when the queue's thread has ended.
  bool PostThreadMessage(uint32_t Message, uintptr_t Param);

  // Owner thread only. Blocks until a message is queued and takes it;
  // messages of a window are dispatched to that window here, thread messages
  // are handed back. Returns false for WM_QUIT, true for any other thread
  // message.
  bool GetMessage(QueuedMessage& Msg);

  // Number of queued messages (all targets); for tests and diagnostics.
  size_t PendingCount();

 private:
  friend class CallbackWindow;
  friend class SyncObject;
  friend uint32_t WaitForSyncObject(SyncObject* Handle, uint32_t TimeoutMs);
  friend struct ThreadQueueHolder;

  // All helpers below expect mutex_ to be held.
  // Runs the earliest timer whose time has come (unlocking around it), if
  // any; true when one ran. Owner thread only.
  bool FireDueTimerLocked(std::unique_lock<std::mutex>& Lock);
  // Waits for a post, until the earliest timer is due, or until Until;
  // false once Until has passed.
  bool WaitLocked(
      std::unique_lock<std::mutex>& Lock,
      std::chrono::steady_clock::time_point Until = std::chrono::steady_clock::time_point::max());
  bool PushLocked(const QueuedMessage& Msg);
  bool TakeFirstLocked(QueuedMessage& Msg);
  bool TakeForWindowLocked(const CallbackWindow* Window, QueuedMessage& Msg);
  void DropWindowLocked(const CallbackWindow* Window);
  void CloseQueue();

  std::mutex mutex_;
  std::condition_variable wake_;
  // A ring of messages in posting order; it grows by doubling and never
  // shrinks, so a steady stream of notifications allocates nothing.
  std::vector<QueuedMessage> ring_;
  size_t head_ = 0;
  size_t count_ = 0;
  bool closed_ = false;
  std::thread::id owner_;
  QueueTimer* timers_ = nullptr;  // set timers, unordered
  QueueTimer* firing_ = nullptr;  // the timer running on the owner thread now
  size_t liveWindows_ = 0;        // callback windows created and not destroyed
  bool looping_ = false;          // the thread has waited in GetMessage
  bool preciseTimers_ = false;    // the thread's timer slack is lowered
};

// A hidden "window": a notification target owned by the thread that created
// it. Its messages wait in that thread's queue and are dispatched to its
// handler only by that thread: by PumpOne, or while that thread waits in
// WaitForSyncObject. The handler may destroy the window (the message being
// dispatched has already been taken out). One object can be created and
// destroyed any number of times; a destroyed window refuses posts.
class CallbackWindow : public NotifyTarget {
 public:
  using Handler = std::function<void(uint32_t Message, uintptr_t Param)>;

  explicit CallbackWindow(Handler OnMessage) : handler_(std::move(OnMessage)) {}
  ~CallbackWindow() override;
  CallbackWindow(const CallbackWindow&) = delete;
  CallbackWindow& operator=(const CallbackWindow&) = delete;

  // Binds the window to the calling thread's queue and makes it accept posts.
  void Create();
  // Stops accepting posts and drops this window's messages still queued.
  // Safe from any thread and from inside its own handler.
  void Destroy();
  bool Alive() const;
  // True on the thread whose queue the window was last created on.
  bool OwnedByCurrentThread() const {
    return queue_ != nullptr && queue_->Owner() == std::this_thread::get_id();
  }

  // Callable from any thread; never blocks on the receiver.
  bool Post(uint32_t Message, uintptr_t Param) override;

  // Waits for this window's next message and dispatches it. Other messages
  // of the thread stay queued. Returns false, without dispatching, once the
  // window is destroyed. Called by a thread other than the owner, it only
  // waits until the window is destroyed (the owner dispatches).
  bool PumpOne();

  enum class PumpResult { kDispatched, kGone, kTimedOut };
  // PumpOne that gives up after TimeoutMs (INFINITE waits for ever) and says
  // which of the three happened.
  PumpResult PumpOneFor(uint32_t TimeoutMs);

  void Dispatch(uint32_t Message, uintptr_t Param) { handler_(Message, Param); }

 private:
  Handler handler_;
  std::shared_ptr<MessageQueue> queue_;
  bool alive_ = false;  // guarded by queue_->mutex_ once created
};

// A notification target that posts thread messages into one thread's queue
// (the callback thread of a device object in asynchronous mode).
class ThreadTarget : public NotifyTarget {
 public:
  explicit ThreadTarget(std::shared_ptr<MessageQueue> Queue) : queue_(std::move(Queue)) {}
  bool Post(uint32_t Message, uintptr_t Param) override {
    return queue_->PostThreadMessage(Message, Param);
  }

 private:
  std::shared_ptr<MessageQueue> queue_;
};

}  // namespace tw
