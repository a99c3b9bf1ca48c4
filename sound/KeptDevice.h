#pragma once
// What the outputs with a real device (ALSA, the sound server, Windows)
// share: the device underneath (a PCM, a server stream, a waveOut device)
// outlives the open that uses it, and is kept idle for the next open of the
// same format; and the stream object of a closed open is kept for the next
// open too (by every output), so a device opened and closed per tone costs
// no heap allocation.

#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>

#include "sound/Backend.h"

namespace tw {

// One open of a kept device. Every call goes to the device; Close hands the
// device back to `Shared::idle` (replacing what idled there) unless the
// device says it is not worth keeping.
//
// Device needs Write, Reset, Pause, Restart, GetPosition, GetVolume and
// SetVolume as in WaveOutStream; `MMRESULT Detach(bool force)`, which lets
// go of the device's sink and fails (WAVERR_STILLPLAYING) while buffers are
// queued unless force drops them unreported; and `bool KeepAfterClose()`.
// Shared needs `std::mutex mu` guarding `std::unique_ptr<Device> idle`.
template <class Device, class Shared>
class KeptDeviceStream final : public WaveOutStream {
 public:
  KeptDeviceStream(std::shared_ptr<Shared> shared, std::unique_ptr<Device> device)
      : shared_(std::move(shared)), device_(std::move(device)) {}

  ~KeptDeviceStream() override { Abandon(); }

  MMRESULT Write(WAVEHDR* header) override {
    return device_ ? device_->Write(header) : MMSYSERR_INVALHANDLE;
  }
  MMRESULT Reset() override { return device_ ? device_->Reset() : MMSYSERR_INVALHANDLE; }
  MMRESULT Pause() override { return device_ ? device_->Pause() : MMSYSERR_INVALHANDLE; }
  MMRESULT Restart() override { return device_ ? device_->Restart() : MMSYSERR_INVALHANDLE; }
  MMRESULT GetPosition(uint64_t& frames) override {
    return device_ ? device_->GetPosition(frames) : MMSYSERR_INVALHANDLE;
  }
  MMRESULT GetVolume(uint32_t& volume) override {
    return device_ ? device_->GetVolume(volume) : MMSYSERR_INVALHANDLE;
  }
  MMRESULT SetVolume(uint32_t volume) override {
    return device_ ? device_->SetVolume(volume) : MMSYSERR_INVALHANDLE;
  }
  MMRESULT Close() override { return device_ ? Release(false) : MMSYSERR_INVALHANDLE; }

  // Makes this closed stream object the open of `device`.
  void Rebind(std::unique_ptr<Device> device) { device_ = std::move(device); }
  // Lets go of a device still held (an open abandoned without a close).
  void Abandon() {
    if (device_) Release(true);
  }

 private:
  MMRESULT Release(bool force) {
    const MMRESULT r = device_->Detach(force);
    if (r != MMSYSERR_NOERROR) return r;
    std::unique_ptr<Device> device = std::move(device_);
    if (!device->KeepAfterClose()) return MMSYSERR_NOERROR;  // closed for real here
    std::unique_ptr<Device> old;
    std::lock_guard<std::mutex> lock(shared_->mu);
    old = std::move(shared_->idle);
    shared_->idle = std::move(device);
    return MMSYSERR_NOERROR;
  }

  std::shared_ptr<Shared> shared_;
  std::unique_ptr<Device> device_;
};

// The one stream object a backend keeps for its next open (the program has
// one device open at a time; a second open simply allocates). Every backend
// recycles its streams through one of these.
template <class Stream>
class SpareWaveOutStream {
 public:
  // The kept object, or none.
  std::unique_ptr<Stream> Take() {
    std::lock_guard<std::mutex> lock(mu_);
    return std::move(spare_);
  }

  // Keeps a stream the backend opened (so it is a Stream), once its owner is
  // done with it; a device it still holds is let go first.
  void Give(std::unique_ptr<WaveOutStream> stream) {
    if (stream == nullptr) return;
    std::unique_ptr<Stream> kept(static_cast<Stream*>(stream.release()));
    if constexpr (requires { kept->Abandon(); }) kept->Abandon();
    std::lock_guard<std::mutex> lock(mu_);
    if (!spare_) spare_ = std::move(kept);
  }

 private:
  std::mutex mu_;
  std::unique_ptr<Stream> spare_;
};

// The shell of a backend whose device is kept across opens: the idle device
// taken for an open or a query, put back, and handed out inside a stream
// object that is itself reused. What differs between sound systems (when an
// idle device still serves, how a new one is opened) comes in as functions.
// Device and Shared as for KeptDeviceStream; Device also needs
// `Attach(WaveOutSink*)`, returning void or an MMRESULT (a failure leaves
// the device idle again).
template <class Device, class Shared>
class KeptDevices {
 public:
  using Stream = KeptDeviceStream<Device, Shared>;

  explicit KeptDevices(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
  KeptDevices(const KeptDevices&) = delete;
  KeptDevices& operator=(const KeptDevices&) = delete;

  Shared& shared() const { return *shared_; }

  // The idle device, taken out of the shell (null when none idles).
  std::unique_ptr<Device> TakeIdle() {
    std::lock_guard<std::mutex> lock(shared_->mu);
    return std::move(shared_->idle);
  }

  // Whether the idle device, left where it is, satisfies `fits` (false when
  // none idles). `fits` runs under the shell's lock: it must not take it.
  template <class Fits>
  bool IdleFits(Fits&& fits) {
    std::lock_guard<std::mutex> lock(shared_->mu);
    return shared_->idle && fits(*shared_->idle);
  }

  // A device for an open or a query. The idle one is asked first, outside
  // the lock: `keep(Device&)` returns nothing when it does not serve (it is
  // closed for real and `open(std::unique_ptr<Device>&)` makes a new one,
  // whose result is returned), 0 to take it, or another code to fail with
  // (the device is closed).
  template <class Keep, class Open>
  MMRESULT Take(Keep&& keep, Open&& open, std::unique_ptr<Device>& out) {
    if (std::unique_ptr<Device> old = TakeIdle()) {
      if (const std::optional<MMRESULT> kept = keep(*old)) {
        if (*kept == MMSYSERR_NOERROR) out = std::move(old);
        return *kept;
      }
    }
    return open(out);
  }

  // Leaves `device` idle for the next open; what idled before is closed for
  // real (after the lock is let go: a close may take a while).
  void Idle(std::unique_ptr<Device> device) {
    std::unique_ptr<Device> old;
    std::lock_guard<std::mutex> lock(shared_->mu);
    old = std::move(shared_->idle);
    shared_->idle = std::move(device);
  }

  // Attaches `device` to `sink` and hands out the open that plays on it: the
  // spare stream object when there is one, else a new one.
  MMRESULT Hand(std::unique_ptr<Device> device, WaveOutSink& sink,
                std::unique_ptr<WaveOutStream>& stream) {
    if constexpr (std::is_void_v<decltype(device->Attach(&sink))>) {
      device->Attach(&sink);
    } else if (const MMRESULT r = device->Attach(&sink)) {
      Idle(std::move(device));
      return r;
    }
    std::unique_ptr<Stream> kept = spare_.Take();
    if (kept) {
      kept->Rebind(std::move(device));
    } else {
      kept = std::make_unique<Stream>(shared_, std::move(device));
    }
    stream = std::move(kept);
    return MMSYSERR_NOERROR;
  }

  // What the backend's Recycle does: keeps a stream it handed out.
  void Recycle(std::unique_ptr<WaveOutStream> stream) { spare_.Give(std::move(stream)); }

 private:
  std::shared_ptr<Shared> shared_;
  SpareWaveOutStream<Stream> spare_;
};

}  // namespace tw
