#pragma once
// Waking on time: a thread that must act at a deadline (a paced sound card
// reporting a buffer) asks to be woken a little early, by as much as its
// recent wake-ups came late, and waits out the rest awake. A timer's
// wake-up on a busy or virtual machine comes tens of microseconds late; the
// spin after it costs about that much CPU per deadline.

#include <algorithm>
#include <chrono>
#include <cstddef>

namespace tw {

// The longest a thread wakes before a deadline to wait out the rest awake:
// a cap on the CPU that wake-ups which come late every time can cost.
inline constexpr std::chrono::nanoseconds kMaxWakeLead = std::chrono::microseconds(150);

// How early to ask to be woken for a deadline: the median of how late the
// last few wake-ups came, from 0 to kMaxWakeLead.
class WakeLead {
 public:
  using Nanos = std::chrono::nanoseconds;

  Nanos Lead() const { return lead_; }
  // A wake-up came `late` after the time asked for.
  void Note(Nanos late) {
    samples_[next_] = std::clamp(late, Nanos(0), kMaxWakeLead);
    next_ = (next_ + 1) % kSamples;
    count_ = std::min(count_ + 1, kSamples);
    Nanos sorted[kSamples];
    std::copy(samples_, samples_ + count_, sorted);
    std::nth_element(sorted, sorted + count_ / 2, sorted + count_);
    lead_ = sorted[count_ / 2];
  }

 private:
  static constexpr std::size_t kSamples = 15;
  Nanos samples_[kSamples] = {};
  std::size_t next_ = 0;
  std::size_t count_ = 0;
  Nanos lead_{0};
};

// Waits awake until `deadline` of `Clock`, easing the core between looks.
template <class Clock>
void SpinUntil(typename Clock::time_point deadline) {
  while (Clock::now() < deadline) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
}

}  // namespace tw
