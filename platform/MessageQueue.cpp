#include "platform/MessageQueue.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>

#include "platform/SyncObjects.h"
#include "platform/ThreadTiming.h"
#include "platform/mmsystem.h"

namespace tw {

// Owns the calling thread's queue and closes it when the thread ends, so
// later posts to that thread fail instead of piling up unseen.
struct ThreadQueueHolder {
  std::shared_ptr<MessageQueue> Queue;
  ThreadQueueHolder() : Queue(std::make_shared<MessageQueue>()) {
    Queue->owner_ = std::this_thread::get_id();
  }
  ~ThreadQueueHolder() { Queue->CloseQueue(); }
};

namespace {

// Each thread's holder hangs on a key of the thread library, whose
// destructor runs when the thread ends, rather than in a thread_local
// object: MinGW's runtime may free a thread's thread_local storage before
// it runs the destructors of the objects in it.
void FreeHolder(void* Holder) { delete static_cast<ThreadQueueHolder*>(Holder); }

pthread_key_t HolderKey() {
  static const pthread_key_t key = [] {
    pthread_key_t made;
    pthread_key_create(&made, FreeHolder);
    return made;
  }();
  return key;
}

ThreadQueueHolder* CurrentHolder() {
  return static_cast<ThreadQueueHolder*>(pthread_getspecific(HolderKey()));
}

}  // namespace

const std::shared_ptr<MessageQueue>& MessageQueue::Current() {
  ThreadQueueHolder* holder = CurrentHolder();
  if (holder == nullptr) {
    holder = new ThreadQueueHolder;
    pthread_setspecific(HolderKey(), holder);
  }
  return holder->Queue;
}

MessageQueue* MessageQueue::CurrentIfAny() {
  const ThreadQueueHolder* holder = CurrentHolder();
  return holder == nullptr ? nullptr : holder->Queue.get();
}

bool MessageQueue::SetTimer(QueueTimer& Timer, std::chrono::steady_clock::time_point Due) {
  {
    std::lock_guard lock(mutex_);
    if (closed_ || (liveWindows_ == 0 && !looping_)) return false;
    if (!Timer.set_) {
      Timer.next_ = timers_;
      timers_ = &Timer;
      Timer.set_ = true;
    }
    Timer.due_ = Due;
  }
  wake_.notify_all();  // a waiting owner recomputes how long to wait
  return true;
}

void MessageQueue::KillTimer(QueueTimer& Timer) {
  std::unique_lock lock(mutex_);
  if (owner_ != std::this_thread::get_id()) {
    while (firing_ == &Timer) wake_.wait(lock);
  }
  if (!Timer.set_) return;
  for (QueueTimer** link = &timers_; *link != nullptr; link = &(*link)->next_) {
    if (*link == &Timer) {
      *link = Timer.next_;
      break;
    }
  }
  Timer.set_ = false;
  Timer.next_ = nullptr;
}

bool MessageQueue::FireDueTimerLocked(std::unique_lock<std::mutex>& Lock) {
  if (timers_ == nullptr) return false;
  const auto now = std::chrono::steady_clock::now();
  QueueTimer** due = nullptr;
  for (QueueTimer** link = &timers_; *link != nullptr; link = &(*link)->next_) {
    if ((*link)->due_ <= now && (due == nullptr || (*link)->due_ < (*due)->due_)) due = link;
  }
  if (due == nullptr) return false;
  QueueTimer* timer = *due;
  *due = timer->next_;
  timer->next_ = nullptr;
  timer->set_ = false;
  firing_ = timer;
  Lock.unlock();
  try {
    timer->OnQueueTimer();
  } catch (...) {
    Lock.lock();
    firing_ = nullptr;
    wake_.notify_all();
    throw;
  }
  Lock.lock();
  firing_ = nullptr;
  wake_.notify_all();  // a KillTimer may wait for the end of this firing
  return true;
}

bool MessageQueue::WaitLocked(std::unique_lock<std::mutex>& Lock,
                              std::chrono::steady_clock::time_point Until) {
  auto earliest = Until;
  for (const QueueTimer* t = timers_; t != nullptr; t = t->next_) {
    earliest = std::min(earliest, t->due_);
  }
  if (earliest == std::chrono::steady_clock::time_point::max()) {
    wake_.wait(Lock);
    return true;
  }
  if (timers_ != nullptr && !preciseTimers_) {
    // A thread that waits here for timers wants them on time.
    PrepareThreadForTimedWakeups();
    preciseTimers_ = true;
  }
  wake_.wait_until(Lock, earliest);
  return std::chrono::steady_clock::now() < Until;
}

void MessageQueue::CloseQueue() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  count_ = 0;
  head_ = 0;
  // Timers still set never fire now; their owners kill them.
  wake_.notify_all();
}

bool MessageQueue::PushLocked(const QueuedMessage& Msg) {
  if (closed_) return false;
  if (count_ == ring_.size()) {
    std::vector<QueuedMessage> grown(std::max<size_t>(16, ring_.size() * 2));
    for (size_t i = 0; i < count_; ++i) grown[i] = ring_[(head_ + i) % ring_.size()];
    ring_.swap(grown);
    head_ = 0;
  }
  ring_[(head_ + count_) % ring_.size()] = Msg;
  ++count_;
  return true;
}

bool MessageQueue::TakeFirstLocked(QueuedMessage& Msg) {
  if (count_ == 0) return false;
  Msg = ring_[head_];
  head_ = (head_ + 1) % ring_.size();
  --count_;
  return true;
}

bool MessageQueue::TakeForWindowLocked(const CallbackWindow* Window, QueuedMessage& Msg) {
  const size_t n = ring_.size();
  for (size_t i = 0; i < count_; ++i) {
    size_t at = (head_ + i) % n;
    if (ring_[at].Window != Window) continue;
    Msg = ring_[at];
    // Close the gap, keeping every other message in its order.
    for (size_t j = i; j + 1 < count_; ++j) {
      ring_[(head_ + j) % n] = ring_[(head_ + j + 1) % n];
    }
    --count_;
    return true;
  }
  return false;
}

void MessageQueue::DropWindowLocked(const CallbackWindow* Window) {
  const size_t n = ring_.size();
  size_t kept = 0;
  for (size_t i = 0; i < count_; ++i) {
    const QueuedMessage& m = ring_[(head_ + i) % n];
    if (m.Window != Window) ring_[(head_ + kept++) % n] = m;
  }
  count_ = kept;
}

bool MessageQueue::PostThreadMessage(uint32_t Message, uintptr_t Param) {
  {
    std::lock_guard lock(mutex_);
    if (!PushLocked({nullptr, Message, Param})) return false;
  }
  // After the unlock: a waiter woken under the lock would only block again
  // on the mutex until the poster lets go of it.
  wake_.notify_all();
  return true;
}

bool MessageQueue::GetMessage(QueuedMessage& Msg) {
  std::unique_lock lock(mutex_);
  looping_ = true;
  for (;;) {
    if (TakeFirstLocked(Msg)) {
      if (Msg.Window == nullptr) return Msg.Message != WM_QUIT;
      lock.unlock();
      Msg.Window->Dispatch(Msg.Message, Msg.Param);
      lock.lock();
      continue;
    }
    if (FireDueTimerLocked(lock)) continue;
    WaitLocked(lock);
  }
}

size_t MessageQueue::PendingCount() {
  std::lock_guard lock(mutex_);
  return count_;
}

CallbackWindow::~CallbackWindow() { Destroy(); }

void CallbackWindow::Create() {
  Destroy();
  queue_ = MessageQueue::Current();
  std::lock_guard lock(queue_->mutex_);
  alive_ = true;
  ++queue_->liveWindows_;
}

void CallbackWindow::Destroy() {
  if (!queue_) return;
  std::lock_guard lock(queue_->mutex_);
  if (!alive_) return;
  alive_ = false;
  --queue_->liveWindows_;
  queue_->DropWindowLocked(this);
  queue_->wake_.notify_all();
}

bool CallbackWindow::Alive() const {
  if (!queue_) return false;
  std::lock_guard lock(queue_->mutex_);
  return alive_;
}

bool CallbackWindow::Post(uint32_t Message, uintptr_t Param) {
  const std::shared_ptr<MessageQueue> queue = queue_;  // alive until the notify
  if (!queue) return false;
  {
    std::lock_guard lock(queue->mutex_);
    if (!alive_ || !queue->PushLocked({this, Message, Param})) return false;
  }
  queue->wake_.notify_all();  // after the unlock, as in PostThreadMessage
  return true;
}

bool CallbackWindow::PumpOne() { return PumpOneFor(INFINITE) == PumpResult::kDispatched; }

CallbackWindow::PumpResult CallbackWindow::PumpOneFor(uint32_t TimeoutMs) {
  if (!queue_) return PumpResult::kGone;
  MessageQueue& q = *queue_;
  const bool owner = q.owner_ == std::this_thread::get_id();
  // Read from the clock only when a wait needs it; max() waits for ever.
  auto deadline = std::chrono::steady_clock::time_point::max();
  QueuedMessage msg;
  {
    std::unique_lock lock(q.mutex_);
    for (;;) {
      if (!alive_ || q.closed_) return PumpResult::kGone;
      if (owner && q.TakeForWindowLocked(this, msg)) break;
      if (owner && q.FireDueTimerLocked(lock)) continue;
      if (TimeoutMs == 0) return PumpResult::kTimedOut;
      if (TimeoutMs != INFINITE && deadline == std::chrono::steady_clock::time_point::max()) {
        deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
      }
      // The owner also wakes for the queue's timers; another thread only
      // for messages, the window's end, or its own deadline.
      bool inTime = true;
      if (owner) {
        inTime = q.WaitLocked(lock, deadline);
      } else if (deadline == std::chrono::steady_clock::time_point::max()) {
        q.wake_.wait(lock);
      } else {
        inTime = q.wake_.wait_until(lock, deadline) == std::cv_status::no_timeout;
      }
      if (!inTime) {
        if (!alive_ || q.closed_) return PumpResult::kGone;
        if (owner && q.TakeForWindowLocked(this, msg)) break;
        return PumpResult::kTimedOut;
      }
    }
  }
  Dispatch(msg.Message, msg.Param);
  return PumpResult::kDispatched;
}

}  // namespace tw
