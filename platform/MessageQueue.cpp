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
    Queue->FOwner = std::this_thread::get_id();
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
    std::lock_guard lock(FMutex);
    if (FClosed || (FLiveWindows == 0 && !FLooping)) return false;
    if (!Timer.FSet) {
      Timer.FNext = FTimers;
      FTimers = &Timer;
      Timer.FSet = true;
    }
    Timer.FDue = Due;
  }
  FWake.notify_all();  // a waiting owner recomputes how long to wait
  return true;
}

void MessageQueue::KillTimer(QueueTimer& Timer) {
  std::unique_lock lock(FMutex);
  if (FOwner != std::this_thread::get_id()) {
    while (FFiring == &Timer) FWake.wait(lock);
  }
  if (!Timer.FSet) return;
  for (QueueTimer** link = &FTimers; *link != nullptr; link = &(*link)->FNext) {
    if (*link == &Timer) {
      *link = Timer.FNext;
      break;
    }
  }
  Timer.FSet = false;
  Timer.FNext = nullptr;
}

bool MessageQueue::FireDueTimerLocked(std::unique_lock<std::mutex>& Lock) {
  if (FTimers == nullptr) return false;
  const auto now = std::chrono::steady_clock::now();
  QueueTimer** due = nullptr;
  for (QueueTimer** link = &FTimers; *link != nullptr; link = &(*link)->FNext) {
    if ((*link)->FDue <= now && (due == nullptr || (*link)->FDue < (*due)->FDue)) due = link;
  }
  if (due == nullptr) return false;
  QueueTimer* timer = *due;
  *due = timer->FNext;
  timer->FNext = nullptr;
  timer->FSet = false;
  FFiring = timer;
  Lock.unlock();
  try {
    timer->OnQueueTimer();
  } catch (...) {
    Lock.lock();
    FFiring = nullptr;
    FWake.notify_all();
    throw;
  }
  Lock.lock();
  FFiring = nullptr;
  FWake.notify_all();  // a KillTimer may wait for the end of this firing
  return true;
}

bool MessageQueue::WaitLocked(std::unique_lock<std::mutex>& Lock,
                              std::chrono::steady_clock::time_point Until) {
  auto earliest = Until;
  for (const QueueTimer* t = FTimers; t != nullptr; t = t->FNext) {
    earliest = std::min(earliest, t->FDue);
  }
  if (earliest == std::chrono::steady_clock::time_point::max()) {
    FWake.wait(Lock);
    return true;
  }
  if (FTimers != nullptr && !FPreciseTimers) {
    // A thread that waits here for timers wants them on time.
    PrepareThreadForTimedWakeups();
    FPreciseTimers = true;
  }
  FWake.wait_until(Lock, earliest);
  return std::chrono::steady_clock::now() < Until;
}

void MessageQueue::CloseQueue() {
  std::lock_guard lock(FMutex);
  FClosed = true;
  FCount = 0;
  FHead = 0;
  // Timers still set never fire now; their owners kill them.
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
  {
    std::lock_guard lock(FMutex);
    if (!PushLocked({nullptr, Message, Param})) return false;
  }
  // After the unlock: a waiter woken under the lock would only block again
  // on the mutex until the poster lets go of it.
  FWake.notify_all();
  return true;
}

bool MessageQueue::GetMessage(QueuedMessage& Msg) {
  std::unique_lock lock(FMutex);
  FLooping = true;
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
  std::lock_guard lock(FMutex);
  return FCount;
}

CallbackWindow::~CallbackWindow() { Destroy(); }

void CallbackWindow::Create() {
  Destroy();
  FQueue = MessageQueue::Current();
  std::lock_guard lock(FQueue->FMutex);
  FAlive = true;
  ++FQueue->FLiveWindows;
}

void CallbackWindow::Destroy() {
  if (!FQueue) return;
  std::lock_guard lock(FQueue->FMutex);
  if (!FAlive) return;
  FAlive = false;
  --FQueue->FLiveWindows;
  FQueue->DropWindowLocked(this);
  FQueue->FWake.notify_all();
}

bool CallbackWindow::Alive() const {
  if (!FQueue) return false;
  std::lock_guard lock(FQueue->FMutex);
  return FAlive;
}

bool CallbackWindow::Post(uint32_t Message, uintptr_t Param) {
  const std::shared_ptr<MessageQueue> queue = FQueue;  // alive until the notify
  if (!queue) return false;
  {
    std::lock_guard lock(queue->FMutex);
    if (!FAlive || !queue->PushLocked({this, Message, Param})) return false;
  }
  queue->FWake.notify_all();  // after the unlock, as in PostThreadMessage
  return true;
}

bool CallbackWindow::PumpOne() { return PumpOneFor(INFINITE) == PumpResult::kDispatched; }

CallbackWindow::PumpResult CallbackWindow::PumpOneFor(uint32_t TimeoutMs) {
  if (!FQueue) return PumpResult::kGone;
  MessageQueue& q = *FQueue;
  const bool owner = q.FOwner == std::this_thread::get_id();
  // Read from the clock only when a wait needs it; max() waits for ever.
  auto deadline = std::chrono::steady_clock::time_point::max();
  QueuedMessage msg;
  {
    std::unique_lock lock(q.FMutex);
    for (;;) {
      if (!FAlive || q.FClosed) return PumpResult::kGone;
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
        q.FWake.wait(lock);
      } else {
        inTime = q.FWake.wait_until(lock, deadline) == std::cv_status::no_timeout;
      }
      if (!inTime) {
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
