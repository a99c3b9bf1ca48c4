#include "platform/SyncObjects.h"

#include <algorithm>
#include <chrono>

#include "platform/MessageQueue.h"
#include "platform/mmsystem.h"

namespace tw {

bool SyncObject::IsSignalled() {
  std::lock_guard lock(mutex_);
  return signalled_;
}

void SyncObject::SetState(bool Signalled) {
  std::vector<std::shared_ptr<MessageQueue>> waiters;
  {
    std::lock_guard lock(mutex_);
    signalled_ = Signalled;
    if (!Signalled || waiters_.empty()) return;
    waiters = waiters_;
  }
  // A waiter checks the state while holding its queue's mutex, so taking
  // that mutex before the notify means no wake-up is lost.
  for (const auto& q : waiters) {
    std::lock_guard lock(q->mutex_);
    q->wake_.notify_all();
  }
}

bool SyncObject::TryAcquire() {
  std::lock_guard lock(mutex_);
  if (!signalled_) return false;
  if (autoReset_) signalled_ = false;
  return true;
}

void SyncObject::AddWaiter(const std::shared_ptr<MessageQueue>& Queue) {
  std::lock_guard lock(mutex_);
  waiters_.push_back(Queue);
}

void SyncObject::RemoveWaiter(const MessageQueue* Queue) {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(waiters_.begin(), waiters_.end(),
                         [Queue](const auto& q) { return q.get() == Queue; });
  if (it != waiters_.end()) waiters_.erase(it);
}

uint32_t WaitForSyncObject(SyncObject* Handle, uint32_t TimeoutMs) {
  if (Handle == nullptr) return WAIT_FAILED;
  const std::shared_ptr<MessageQueue>& queue = MessageQueue::Current();
  MessageQueue& q = *queue;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);

  Handle->AddWaiter(queue);
  uint32_t result = WAIT_TIMEOUT;
  std::unique_lock lock(q.mutex_);
  for (;;) {
    if (Handle->TryAcquire()) {
      result = WAIT_OBJECT_0;
      break;
    }
    QueuedMessage msg;
    if (q.TakeFirstLocked(msg)) {
      if (msg.Window == nullptr) {
        if (msg.Message == WM_QUIT) {
          result = WAIT_OBJECT_0 + 1;
          break;
        }
        continue;  // a thread message nobody here handles
      }
      lock.unlock();
      msg.Window->Dispatch(msg.Message, msg.Param);
      lock.lock();
      continue;
    }
    if (q.FireDueTimerLocked(lock)) continue;
    if (TimeoutMs == INFINITE) {
      q.WaitLocked(lock);
    } else if (TimeoutMs == 0 || !q.WaitLocked(lock, deadline)) {
      // One last look: the signal may have come with the timeout.
      result = Handle->TryAcquire() ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
      break;
    }
  }
  lock.unlock();
  Handle->RemoveWaiter(&q);
  return result;
}

}  // namespace tw
