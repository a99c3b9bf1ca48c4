#pragma once
// For tests of waits that must end: a watchdog thread that ends the whole
// test program with a message when the guarded code has not finished within
// a generous bound, so a regression fails instead of hanging. Header only;
// built into tests alone.

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

// The sanitizers' hook for where their reports go (absent without them).
extern "C" void __sanitizer_set_report_fd(void* fd) __attribute__((weak));

namespace tw::testing {

// Sends sanitizer reports to the standard error of this moment for good, so
// that a test that captures standard error (CaptureStderr) cannot swallow
// one. Does nothing in a build without sanitizers.
inline void KeepSanitizerReportsVisible() {
  static const bool done = [] {
    if (__sanitizer_set_report_fd != nullptr) {
      __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(dup(STDERR_FILENO))));
    }
    return true;
  }();
  (void)done;
}

class Watchdog {
 public:
  // Guards from now until destruction (or Disarm). The message goes to the
  // standard error of this moment, even if the guarded code redirects it.
  Watchdog(std::string What, std::chrono::milliseconds Limit)
      : what_(std::move(What)), err_(dup(STDERR_FILENO)) {
    thread_ = std::thread([this, Limit] {
      std::unique_lock lock(mutex_);
      if (changed_.wait_for(lock, Limit, [this] { return disarmed_; })) return;
      const std::string message =
          "WATCHDOG: " + what_ + " did not end within " + std::to_string(Limit.count()) + " ms\n";
      if (write(err_, message.data(), message.size()) < 0) std::perror("watchdog");
      std::abort();
    });
  }
  ~Watchdog() {
    Disarm();
    if (err_ >= 0) close(err_);
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  void Disarm() {
    {
      std::lock_guard lock(mutex_);
      disarmed_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::string what_;
  int err_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool disarmed_ = false;
  std::thread thread_;
};

}  // namespace tw::testing
