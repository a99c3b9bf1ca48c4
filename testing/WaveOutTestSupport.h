#pragma once
// Test helpers for the wave output functions and their backends: a
// notification target and a buffer sink that record what they are sent,
// formats, and buffers with their own data.

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/WaveOutApi.h"
#include "sound/Backend.h"

namespace tw::testing {

struct Notification {
  uint32_t message;
  uintptr_t param;
  bool operator==(const Notification&) const = default;
};

// Records every notification in arrival order; tests wait for a count.
class RecordingTarget : public NotifyTarget {
 public:
  bool Post(uint32_t message, uintptr_t param) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      got_.push_back({message, param});
    }
    changed_.notify_all();
    return true;
  }

  std::vector<Notification> Got() {
    std::lock_guard<std::mutex> lock(mutex_);
    return got_;
  }

  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return got_.size();
  }

  // Waits (at most `limit`) until `count` notifications have arrived.
  bool WaitFor(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return got_.size() >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Notification> got_;
};

// Collects the buffers an open backend stream reports done, in order.
class RecordingSink : public WaveOutSink {
 public:
  void BufferDone(WAVEHDR* header) override {
    std::lock_guard<std::mutex> lock(mu_);
    done_.push_back(header);
    cv_.notify_all();
  }
  // The buffers reported so far, after waiting (at most `limit`) for n.
  std::vector<WAVEHDR*> WaitFor(
      size_t n, std::chrono::steady_clock::duration limit = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, limit, [&] { return done_.size() >= n; });
    return done_;
  }
  std::vector<WAVEHDR*> Done() {
    std::lock_guard<std::mutex> lock(mu_);
    return done_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<WAVEHDR*> done_;
};

inline WAVEFORMATEX PcmFormat(uint32_t rate, uint16_t channels, uint16_t bits) {
  WAVEFORMATEX f{};
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = channels;
  f.nSamplesPerSec = rate;
  f.wBitsPerSample = bits;
  f.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
  f.nAvgBytesPerSec = rate * f.nBlockAlign;
  return f;
}

// A header with its own block of bytes (filled with a pattern that starts at `seed`).
struct Buffer {
  explicit Buffer(size_t size, unsigned char seed = 0) : data(size) {
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(seed + i * 7);
    header.lpData = data.data();
    header.dwBufferLength = static_cast<uint32_t>(size);
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  std::vector<char> data;
  WAVEHDR header{};
  uintptr_t param() { return reinterpret_cast<uintptr_t>(&header); }
};

}  // namespace tw::testing
