#pragma once
// A mutex that lends its waiter's priority to its holder (priority
// inheritance): a real-time thread that waits for it is not held up by an
// ordinary thread that was preempted while holding it, however busy the
// machine. Lockable, for std::lock_guard, std::unique_lock and
// std::condition_variable_any. POSIX only.

#include <pthread.h>

namespace tw {

class InheritingMutex {
 public:
  InheritingMutex() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
    pthread_mutex_init(&mu_, &attr);
    pthread_mutexattr_destroy(&attr);
  }
  ~InheritingMutex() { pthread_mutex_destroy(&mu_); }
  InheritingMutex(const InheritingMutex&) = delete;
  InheritingMutex& operator=(const InheritingMutex&) = delete;

  void lock() { pthread_mutex_lock(&mu_); }
  bool try_lock() { return pthread_mutex_trylock(&mu_) == 0; }
  void unlock() { pthread_mutex_unlock(&mu_); }

 private:
  pthread_mutex_t mu_;
};

}  // namespace tw
