#pragma once
// For tests of waits that must end: a watchdog thread that ends the whole
// test program with a message when the guarded code has not finished within
// a generous bound, so a regression fails instead of hanging. Header only;
// built into tests alone.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace tw::testing {

class Watchdog {
 public:
  // Guards from now until destruction (or Disarm).
  Watchdog(std::string What, std::chrono::milliseconds Limit) : FWhat(std::move(What)) {
    FThread = std::thread([this, Limit] {
      std::unique_lock lock(FMutex);
      if (FChanged.wait_for(lock, Limit, [this] { return FDisarmed; })) return;
      std::fprintf(stderr, "WATCHDOG: %s did not end within %lld ms\n", FWhat.c_str(),
                   static_cast<long long>(Limit.count()));
      std::fflush(stderr);
      std::abort();
    });
  }
  ~Watchdog() { Disarm(); }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  void Disarm() {
    {
      std::lock_guard lock(FMutex);
      FDisarmed = true;
    }
    FChanged.notify_all();
    if (FThread.joinable()) FThread.join();
  }

 private:
  std::string FWhat;
  std::mutex FMutex;
  std::condition_variable FChanged;
  bool FDisarmed = false;
  std::thread FThread;
};

}  // namespace tw::testing
