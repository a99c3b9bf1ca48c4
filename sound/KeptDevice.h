#pragma once
// What the ALSA, sound-server and Windows outputs share: the device
// underneath (a PCM, a server stream, a waveOut device) outlives the open
// that uses it, and is kept idle for the next open of the same format; and
// the stream object of a closed open is kept for the next open too, so a
// device opened and closed per tone costs no heap allocation.

#include <memory>
#include <mutex>

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
// one device open at a time; a second open simply allocates).
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

}  // namespace tw
