#include "platform/MessageQueue.h"

#include <algorithm>
#include <chrono>

#include "platform/SyncObjects.h"
#include "platform/mmsystem.h"

namespace tw {

// Owns the calling thread's queue and closes it when the thread ends, so
// later posts to that thread fail instead of piling up unseen.
struct ThreadQueueHolder {
  std::shared_ptr<MessageQueue> Queue;
  ThreadQueueHolder() : Queue(std::make_shared<MessageQueue>()) {
    Queue->FOwner = std::this_thread::get_id();
  }
  ~ThreadQueueHolder() { Queue->CloseQueue(); }
};

const std::shared_ptr<MessageQueue>& MessageQueue::Current() {
  thread_local ThreadQueueHolder holder;
  return holder.Queue;
}

void MessageQueue::CloseQueue() {
  std::lock_guard lock(FMutex);
  FClosed = true;
  FCount = 0;
  FHead = 0;
  FWake.notify_all();
}

bool MessageQueue::PushLocked(const QueuedMessage& Msg) {
  if (FClosed) return false;
  if (FCount == FRing.size()) {
    std::vector<QueuedMessage> grown(std::max<size_t>(16, FRing.size() * 2));
    for (size_t i = 0; i < FCount; ++i) grown[i] = FRing[(FHead + i) % FRing.size()];
    FRing.swap(grown);
    FHead = 0;
  }
  FRing[(FHead + FCount) % FRing.size()] = Msg;
  ++FCount;
  FWake.notify_all();
  return true;
}

bool MessageQueue::TakeFirstLocked(QueuedMessage& Msg) {
  if (FCount == 0) return false;
  Msg = FRing[FHead];
  FHead = (FHead + 1) % FRing.size();
  --FCount;
  return true;
}

bool MessageQueue::TakeForWindowLocked(const CallbackWindow* Window, QueuedMessage& Msg) {
  const size_t n = FRing.size();
  for (size_t i = 0; i < FCount; ++i) {
    size_t at = (FHead + i) % n;
    if (FRing[at].Window != Window) continue;
    Msg = FRing[at];
    // Close the gap, keeping every other message in its order.
    for (size_t j = i; j + 1 < FCount; ++j) {
      FRing[(FHead + j) % n] = FRing[(FHead + j + 1) % n];
    }
    --FCount;
    return true;
  }
  return false;
}

void MessageQueue::DropWindowLocked(const CallbackWindow* Window) {
  const size_t n = FRing.size();
  size_t kept = 0;
  for (size_t i = 0; i < FCount; ++i) {
    const QueuedMessage& m = FRing[(FHead + i) % n];
    if (m.Window != Window) FRing[(FHead + kept++) % n] = m;
  }
  FCount = kept;
}

bool MessageQueue::PostThreadMessage(uint32_t Message, uintptr_t Param) {
  std::lock_guard lock(FMutex);
  return PushLocked({nullptr, Message, Param});
}

bool MessageQueue::GetMessage(QueuedMessage& Msg) {
  std::unique_lock lock(FMutex);
  for (;;) {
    if (TakeFirstLocked(Msg)) {
      if (Msg.Window == nullptr) return Msg.Message != WM_QUIT;
      lock.unlock();
      Msg.Window->Dispatch(Msg.Message, Msg.Param);
      lock.lock();
      continue;
    }
    FWake.wait(lock);
  }
}

size_t MessageQueue::PendingCount() {
  std::lock_guard lock(FMutex);
  return FCount;
}

CallbackWindow::~CallbackWindow() { Destroy(); }

void CallbackWindow::Create() {
  Destroy();
  FQueue = MessageQueue::Current();
  std::lock_guard lock(FQueue->FMutex);
  FAlive = true;
}

void CallbackWindow::Destroy() {
  if (!FQueue) return;
  std::lock_guard lock(FQueue->FMutex);
  if (!FAlive) return;
  FAlive = false;
  FQueue->DropWindowLocked(this);
  FQueue->FWake.notify_all();
}

bool CallbackWindow::Alive() const {
  if (!FQueue) return false;
  std::lock_guard lock(FQueue->FMutex);
  return FAlive;
}

bool CallbackWindow::Post(uint32_t Message, uintptr_t Param) {
  if (!FQueue) return false;
  std::lock_guard lock(FQueue->FMutex);
  if (!FAlive) return false;
  return FQueue->PushLocked({this, Message, Param});
}

bool CallbackWindow::PumpOne() { return PumpOneFor(INFINITE) == PumpResult::kDispatched; }

CallbackWindow::PumpResult CallbackWindow::PumpOneFor(uint32_t TimeoutMs) {
  if (!FQueue) return PumpResult::kGone;
  MessageQueue& q = *FQueue;
  const bool owner = q.FOwner == std::this_thread::get_id();
  std::chrono::steady_clock::time_point deadline{};  // read only when a wait needs it
  QueuedMessage msg;
  {
    std::unique_lock lock(q.FMutex);
    for (;;) {
      if (!FAlive || q.FClosed) return PumpResult::kGone;
      if (owner && q.TakeForWindowLocked(this, msg)) break;
      if (TimeoutMs == 0) return PumpResult::kTimedOut;
      if (TimeoutMs == INFINITE) {
        q.FWake.wait(lock);
        continue;
      }
      if (deadline == std::chrono::steady_clock::time_point{}) {
        deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
      }
      if (q.FWake.wait_until(lock, deadline) == std::cv_status::timeout) {
        if (!FAlive || q.FClosed) return PumpResult::kGone;
        if (owner && q.TakeForWindowLocked(this, msg)) break;
        return PumpResult::kTimedOut;
      }
    }
  }
  Dispatch(msg.Message, msg.Param);
  return PumpResult::kDispatched;
}

}  // namespace tw
