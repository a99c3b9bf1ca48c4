#pragma once
// For tests: a sound system that wraps a real one and fails the n-th call of
// one kind on purpose, so that every failure at every point of a play can be
// tried. Header only; built into tests alone. It sits behind the backend
// seam, so it wraps whatever the selection chose (null, wav, alsa...):
//
//   auto plan = std::make_shared<FaultPlan>();
//   WrapSelectedWaveOutput(FaultInjector(plan));
//   plan->Arm(WaveOutFault::kWrite, 7);  // the 7th write fails
//
// Kinds: the format query, the real open, a write, reset, pause, restart,
// position, volume (get or set), close, and a stall: the n-th buffer written
// is never reported done by itself (nor is any buffer after it on that
// stream); only a reset gives them back, and a close meanwhile finds the
// stream still playing. An injected failure returns MMSYSERR_ERROR, whose
// text (ErrorText) says which call failed; a failed close has still closed
// the real stream, as the seam's contract says.

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/WaveOutApi.h"
#include "sound/Backend.h"
#include "sound/Selection.h"

namespace tw::testing {

enum class WaveOutFault {
  kQuery,
  kOpen,
  kWrite,
  kReset,
  kPause,
  kRestart,
  kPosition,
  kVolume,
  kClose,
  kStall,
};
inline constexpr int kWaveOutFaultKinds = 10;

inline const char* FaultName(WaveOutFault kind) {
  static const char* const names[kWaveOutFaultKinds] = {"query", "open",    "write",    "reset",
                                                        "pause", "restart", "position", "volume",
                                                        "close", "stall"};
  return names[static_cast<int>(kind)];
}

// Which call fails, and what the wrapped sound system saw. Shared by the
// wrapper and the test; every member is guarded by the mutex.
class FaultPlan {
 public:
  // Fails the n-th call of kind (counted from 1) from now on; n = 0 fails
  // nothing. Clears the counts.
  void Arm(WaveOutFault kind, uint64_t n) {
    std::lock_guard lock(mutex_);
    kind_ = kind;
    n_ = n;
    injected_ = false;
    calls_.fill(0);
  }
  // Counts a call of kind; true when it is the one to fail.
  bool Fails(WaveOutFault kind) {
    std::lock_guard lock(mutex_);
    const uint64_t count = ++calls_[static_cast<int>(kind)];
    if (n_ == 0 || kind != kind_ || count != n_) return false;
    injected_ = true;
    text_ = std::string("Injected failure of ") + FaultName(kind) + " call " + std::to_string(n_);
    return true;
  }
  // The text of the injected failure.
  std::string Text() {
    std::lock_guard lock(mutex_);
    return text_;
  }
  uint64_t Calls(WaveOutFault kind) {
    std::lock_guard lock(mutex_);
    return calls_[static_cast<int>(kind)];
  }
  bool Injected() {
    std::lock_guard lock(mutex_);
    return injected_;
  }
  // Streams opened and not yet closed and destroyed.
  int LiveStreams() {
    std::lock_guard lock(mutex_);
    return live_;
  }
  void StreamOpened() {
    std::lock_guard lock(mutex_);
    ++live_;
  }
  void StreamGone() {
    std::lock_guard lock(mutex_);
    --live_;
  }

 private:
  std::mutex mutex_;
  WaveOutFault kind_ = WaveOutFault::kQuery;
  uint64_t n_ = 0;
  bool injected_ = false;
  std::string text_;
  std::array<uint64_t, kWaveOutFaultKinds> calls_{};
  int live_ = 0;
};

inline constexpr MMRESULT kInjectedFailure = MMSYSERR_ERROR;

class FaultyStream final : public WaveOutStream, public WaveOutSink {
 public:
  FaultyStream(std::shared_ptr<FaultPlan> plan, WaveOutSink& sink)
      : plan_(std::move(plan)), sink_(sink) {}
  ~FaultyStream() override {
    inner_.reset();
    if (opened_) plan_->StreamGone();
  }

  // The stream the wrapped sound system opened, reporting to this one.
  std::unique_ptr<WaveOutStream>& Inner() { return inner_; }
  void Opened() {
    opened_ = true;
    plan_->StreamOpened();
  }

  MMRESULT Write(WAVEHDR* header) override {
    if (plan_->Fails(WaveOutFault::kWrite)) return kInjectedFailure;
    if (plan_->Fails(WaveOutFault::kStall)) {
      std::lock_guard lock(mutex_);
      if (stallFrom_ == nullptr) stallFrom_ = header;
    }
    return inner_->Write(header);
  }
  MMRESULT Reset() override {
    if (plan_->Fails(WaveOutFault::kReset)) return kInjectedFailure;
    const MMRESULT result = inner_->Reset();
    // Whatever the stall held comes back now, in order.
    std::vector<WAVEHDR*> held;
    {
      std::lock_guard lock(mutex_);
      held.swap(held_);
      stallFrom_ = nullptr;
      holding_ = false;
    }
    for (WAVEHDR* h : held) sink_.BufferDone(h);
    return result;
  }
  MMRESULT Pause() override {
    return plan_->Fails(WaveOutFault::kPause) ? kInjectedFailure : inner_->Pause();
  }
  MMRESULT Restart() override {
    return plan_->Fails(WaveOutFault::kRestart) ? kInjectedFailure : inner_->Restart();
  }
  MMRESULT GetPosition(uint64_t& frames) override {
    return plan_->Fails(WaveOutFault::kPosition) ? kInjectedFailure : inner_->GetPosition(frames);
  }
  MMRESULT GetVolume(uint32_t& volume) override {
    return plan_->Fails(WaveOutFault::kVolume) ? kInjectedFailure : inner_->GetVolume(volume);
  }
  MMRESULT SetVolume(uint32_t volume) override {
    return plan_->Fails(WaveOutFault::kVolume) ? kInjectedFailure : inner_->SetVolume(volume);
  }
  MMRESULT Close() override {
    {
      std::lock_guard lock(mutex_);
      if (holding_ || !held_.empty()) return WAVERR_STILLPLAYING;
    }
    const MMRESULT result = inner_->Close();
    if (result == WAVERR_STILLPLAYING) return result;
    return plan_->Fails(WaveOutFault::kClose) ? kInjectedFailure : result;
  }

  // From the wrapped stream: passed on, unless a stall holds it.
  void BufferDone(WAVEHDR* header) override {
    {
      std::lock_guard lock(mutex_);
      if (header == stallFrom_) holding_ = true;
      if (holding_) {
        held_.push_back(header);
        return;
      }
    }
    sink_.BufferDone(header);
  }

 private:
  std::shared_ptr<FaultPlan> plan_;
  WaveOutSink& sink_;
  std::unique_ptr<WaveOutStream> inner_;
  bool opened_ = false;
  std::mutex mutex_;
  WAVEHDR* stallFrom_ = nullptr;
  bool holding_ = false;
  std::vector<WAVEHDR*> held_;
};

class FaultyBackend final : public WaveOutBackend {
 public:
  FaultyBackend(std::unique_ptr<WaveOutBackend> inner, std::shared_ptr<FaultPlan> plan)
      : inner_(std::move(inner)), plan_(std::move(plan)) {}

  MMRESULT GetCaps(WAVEOUTCAPS& caps) override { return inner_->GetCaps(caps); }
  MMRESULT Query(const WAVEFORMATEX& format) override {
    if (plan_->Fails(WaveOutFault::kQuery)) return kInjectedFailure;
    return inner_->Query(format);
  }
  MMRESULT Open(const WAVEFORMATEX& format, WaveOutSink& sink,
                std::unique_ptr<WaveOutStream>& stream) override {
    if (plan_->Fails(WaveOutFault::kOpen)) return kInjectedFailure;
    auto faulty = std::make_unique<FaultyStream>(plan_, sink);
    const MMRESULT result = inner_->Open(format, *faulty, faulty->Inner());
    if (result != MMSYSERR_NOERROR) return result;
    faulty->Opened();
    stream = std::move(faulty);
    return MMSYSERR_NOERROR;
  }
  std::string ErrorText(MMRESULT code) override {
    if (code == kInjectedFailure && plan_->Injected()) return plan_->Text();
    return inner_->ErrorText(code);
  }

 private:
  std::unique_ptr<WaveOutBackend> inner_;
  std::shared_ptr<FaultPlan> plan_;
};

// The wrapper to hand to WrapSelectedWaveOutput.
inline WaveOutBackendWrapper FaultInjector(std::shared_ptr<FaultPlan> plan) {
  return [plan](std::unique_ptr<WaveOutBackend> real) -> std::unique_ptr<WaveOutBackend> {
    return std::make_unique<FaultyBackend>(std::move(real), plan);
  };
}

}  // namespace tw::testing
