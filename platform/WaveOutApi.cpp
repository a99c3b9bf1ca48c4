// The wave output functions over the selected sound system. A handle is a
// slot in a table of devices that is never freed, so a stale or foreign
// handle is recognised (MMSYSERR_INVALHANDLE) instead of dereferenced.
//
// Locking: each device has a re-entrant mutex guarding its flags, its count
// of queued buffers and the posting of its notifications, so they reach the
// target in the order the device produced them. The mutex is never held while
// a stream is asked to write, reset, restart or close, because a stream
// reports finished buffers (BufferDone, which takes the mutex) from its own
// thread while it holds its own report lock. A stream call made outside the
// mutex is counted on the device instead; the stream (given back to its
// backend) and the slot are released only when the last such call returns,
// so nothing per open lives on the heap.

#include "platform/WaveOutApi.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/WaveOutInternal.h"

namespace tw {

struct WaveOutDevice final : public WaveOutSink {
  // A finished buffer: flags first, then the count, then the notification,
  // all under the mutex, so a close that sees no buffer queued can only post
  // its MM_WOM_CLOSE after this MM_WOM_DONE.
  void BufferDone(WAVEHDR* header) override {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    if (queued > 0) --queued;
    if (target != nullptr) target->Post(MM_WOM_DONE, reinterpret_cast<uintptr_t>(header));
  }

  std::recursive_mutex mutex;
  bool open = false;
  bool closing = false;
  // Closed: the last stream call in flight releases it. Set under the
  // mutex while that close's own call still counts.
  std::atomic<bool> retired{false};
  uint32_t queued = 0;
  // Stream calls in flight outside the mutex; each starts under the mutex
  // while the device is open.
  std::atomic<uint32_t> calls{0};
  NotifyTarget* target = nullptr;
  WAVEFORMATEX format{};
  std::shared_ptr<WaveOutBackend> backend;
  std::unique_ptr<WaveOutStream> stream;
  WaveOutDevice* nextFree = nullptr;  // guarded by the table's mutex
};

namespace {

// The historical size of a buffer header; callers pass it or sizeof(WAVEHDR).
constexpr uint32_t kMinHeaderSize = 32;
constexpr uint32_t kOpenFlags = WAVE_FORMAT_QUERY | CALLBACK_WINDOW | CALLBACK_THREAD;

// The device table: chunks allocated on demand and kept for the whole run.
// Free slots are reused oldest first, so a handle kept by mistake after its
// close keeps failing for many opens instead of naming the very next device.
constexpr size_t kChunkSize = 64;
constexpr size_t kMaxChunks = 256;
std::atomic<WaveOutDevice*> gChunks[kMaxChunks];
std::mutex gTableMutex;
WaveOutDevice* gFreeHead = nullptr;
WaveOutDevice* gFreeTail = nullptr;
size_t gChunkCount = 0;

// Under gTableMutex.
void AppendFree(WaveOutDevice* device) {
  device->nextFree = nullptr;
  if (gFreeTail == nullptr) {
    gFreeHead = device;
  } else {
    gFreeTail->nextFree = device;
  }
  gFreeTail = device;
}

WaveOutDevice* AllocateDevice() {
  std::lock_guard<std::mutex> lock(gTableMutex);
  if (gFreeHead == nullptr) {
    if (gChunkCount == kMaxChunks) return nullptr;
    WaveOutDevice* chunk = new (std::nothrow) WaveOutDevice[kChunkSize];
    if (chunk == nullptr) return nullptr;
    for (size_t i = 0; i < kChunkSize; ++i) AppendFree(&chunk[i]);
    gChunks[gChunkCount++].store(chunk, std::memory_order_release);
  }
  WaveOutDevice* device = gFreeHead;
  gFreeHead = device->nextFree;
  if (gFreeHead == nullptr) gFreeTail = nullptr;
  return device;
}

void FreeDevice(WaveOutDevice* device) {
  std::lock_guard<std::mutex> lock(gTableMutex);
  AppendFree(device);
}

// The table slot a handle names, or null when it names none.
WaveOutDevice* FindDevice(HWAVEOUT handle) {
  const auto address = reinterpret_cast<uintptr_t>(handle);
  for (size_t i = 0; i < kMaxChunks; ++i) {
    WaveOutDevice* chunk = gChunks[i].load(std::memory_order_acquire);
    if (chunk == nullptr) break;
    const auto base = reinterpret_cast<uintptr_t>(chunk);
    if (address >= base && address < base + kChunkSize * sizeof(WaveOutDevice)) {
      return (address - base) % sizeof(WaveOutDevice) == 0 ? handle : nullptr;
    }
  }
  return nullptr;
}

// Gives a closed device's stream back to its backend, then frees the slot.
// Called without the device's mutex, once no stream call is in flight.
void Retire(WaveOutDevice* device) {
  std::unique_ptr<WaveOutStream> stream;
  std::shared_ptr<WaveOutBackend> backend;
  {
    std::lock_guard<std::recursive_mutex> lock(device->mutex);
    stream = std::move(device->stream);
    backend = std::move(device->backend);
    device->retired = false;
  }
  // The stream goes before its backend, and both outside the device's lock.
  if (stream != nullptr) backend->Recycle(std::move(stream));
  backend.reset();
  FreeDevice(device);
}

// One call of an open device's stream, made outside the device's mutex. The
// stream and the slot stay the device's until the last such call is over.
class StreamCall {
 public:
  StreamCall() = default;
  StreamCall(const StreamCall&) = delete;
  StreamCall& operator=(const StreamCall&) = delete;
  ~StreamCall() {
    if (device_ == nullptr) return;
    // Once retired no call starts any more, so only one call sees the count
    // drop to 0 with the device retired.
    if (device_->calls.fetch_sub(1, std::memory_order_acq_rel) == 1 &&
        device_->retired.load(std::memory_order_acquire)) {
      Retire(device_);
    }
  }

  // Under the device's mutex, with the device open.
  void Begin(WaveOutDevice* device) {
    device_ = device;
    device->calls.fetch_add(1, std::memory_order_relaxed);
  }
  WaveOutStream& stream() const { return *device_->stream; }

 private:
  WaveOutDevice* device_ = nullptr;
};

// Starts a call of the open device's stream, or says why there is none.
MMRESULT OpenStream(HWAVEOUT handle, StreamCall& call, WAVEFORMATEX* format = nullptr) {
  WaveOutDevice* device = FindDevice(handle);
  if (device == nullptr) return MMSYSERR_INVALHANDLE;
  std::lock_guard<std::recursive_mutex> lock(device->mutex);
  if (!device->open) return MMSYSERR_INVALHANDLE;
  call.Begin(device);
  if (format != nullptr) *format = device->format;
  return MMSYSERR_NOERROR;
}

// Runs a stream call, turning an allocation failure into a result code.
template <typename Call>
MMRESULT Guarded(Call&& call) {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    return MMSYSERR_NOMEM;
  }
}

MMRESULT CheckHeader(const WAVEHDR* header, uint32_t size) {
  if (header == nullptr || size < kMinHeaderSize) return MMSYSERR_INVALPARAM;
  if (header->lpData == nullptr && header->dwBufferLength != 0) return MMSYSERR_INVALPARAM;
  return MMSYSERR_NOERROR;
}

}  // namespace

MMRESULT waveOutOpen(HWAVEOUT* handle, uint32_t deviceId, const WAVEFORMATEX* format,
                     NotifyTarget* callback, uintptr_t /*instance*/, uint32_t flags) {
  if (handle != nullptr && (flags & WAVE_FORMAT_QUERY) == 0) *handle = nullptr;
  if (format == nullptr) return MMSYSERR_INVALPARAM;
  if (deviceId != WAVE_MAPPER && deviceId != 0) return MMSYSERR_BADDEVICEID;
  if ((flags & ~kOpenFlags) != 0) return MMSYSERR_INVALFLAG;
  std::shared_ptr<WaveOutBackend> backend = CurrentWaveOutBackend();
  if (backend == nullptr) return MMSYSERR_NODRIVER;
  if ((flags & WAVE_FORMAT_QUERY) != 0) return Guarded([&] { return backend->Query(*format); });
  if (handle == nullptr) return MMSYSERR_INVALPARAM;

  WaveOutDevice* device = AllocateDevice();
  if (device == nullptr) return MMSYSERR_NOMEM;
  std::unique_ptr<WaveOutStream> opened;
  MMRESULT result = Guarded([&] { return backend->Open(*format, *device, opened); });
  if (result == MMSYSERR_NOERROR && opened == nullptr) result = MMSYSERR_ERROR;
  if (result != MMSYSERR_NOERROR) {
    if (opened != nullptr) backend->Recycle(std::move(opened));
    FreeDevice(device);
    return result;
  }
  {
    std::lock_guard<std::recursive_mutex> lock(device->mutex);
    device->stream = std::move(opened);
    device->backend = backend;
    device->format = *format;
    device->target = callback;
    device->queued = 0;
    device->calls = 0;
    device->closing = false;
    device->retired = false;
    device->open = true;
    try {
      if (callback != nullptr) callback->Post(MM_WOM_OPEN, 0);
      *handle = device;
      return MMSYSERR_NOERROR;
    } catch (const std::bad_alloc&) {
      // The target could not take the notification: the open is undone.
      device->open = false;
      device->target = nullptr;
      device->backend.reset();
      opened = std::move(device->stream);
    }
  }
  backend->Recycle(std::move(opened));
  FreeDevice(device);
  return MMSYSERR_NOMEM;
}

MMRESULT waveOutClose(HWAVEOUT handle) {
  WaveOutDevice* device = FindDevice(handle);
  if (device == nullptr) return MMSYSERR_INVALHANDLE;
  StreamCall call;
  {
    std::lock_guard<std::recursive_mutex> lock(device->mutex);
    if (!device->open || device->closing) return MMSYSERR_INVALHANDLE;
    if (device->queued > 0) return WAVERR_STILLPLAYING;
    device->closing = true;
    call.Begin(device);
  }
  const MMRESULT result = Guarded([&] { return call.stream().Close(); });
  std::lock_guard<std::recursive_mutex> lock(device->mutex);
  device->closing = false;
  // Only queued buffers keep a stream open; any other failure (a header
  // that could not be brought up to date, say) has released it all the
  // same, so the device closes and the failure is the result.
  if (result == WAVERR_STILLPLAYING) return result;
  if (device->target != nullptr) device->target->Post(MM_WOM_CLOSE, 0);
  device->open = false;
  device->target = nullptr;
  device->retired.store(true, std::memory_order_release);  // released when the last call ends
  return result;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t size) {
  WaveOutDevice* device = FindDevice(handle);
  if (device == nullptr) return MMSYSERR_INVALHANDLE;
  if (const MMRESULT bad = CheckHeader(header, size)) return bad;
  std::lock_guard<std::recursive_mutex> lock(device->mutex);
  if (!device->open) return MMSYSERR_INVALHANDLE;
  header->dwFlags |= WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t size) {
  WaveOutDevice* device = FindDevice(handle);
  if (device == nullptr) return MMSYSERR_INVALHANDLE;
  if (header == nullptr || size < kMinHeaderSize) return MMSYSERR_INVALPARAM;
  std::lock_guard<std::recursive_mutex> lock(device->mutex);
  if (!device->open) return MMSYSERR_INVALHANDLE;
  if ((header->dwFlags & WHDR_INQUEUE) != 0) return WAVERR_STILLPLAYING;
  header->dwFlags &= ~WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutWrite(HWAVEOUT handle, WAVEHDR* header, uint32_t size) {
  WaveOutDevice* device = FindDevice(handle);
  if (device == nullptr) return MMSYSERR_INVALHANDLE;
  if (const MMRESULT bad = CheckHeader(header, size)) return bad;
  StreamCall call;
  {
    std::lock_guard<std::recursive_mutex> lock(device->mutex);
    if (!device->open || device->closing) return MMSYSERR_INVALHANDLE;
    if ((header->dwFlags & WHDR_PREPARED) == 0) return WAVERR_UNPREPARED;
    if ((header->dwFlags & WHDR_INQUEUE) != 0) return WAVERR_STILLPLAYING;
    header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    ++device->queued;
    call.Begin(device);
  }
  const MMRESULT result = Guarded([&] { return call.stream().Write(header); });
  if (result != MMSYSERR_NOERROR) {
    std::lock_guard<std::recursive_mutex> lock(device->mutex);
    if ((header->dwFlags & WHDR_INQUEUE) != 0) {
      header->dwFlags &= ~WHDR_INQUEUE;
      --device->queued;
    }
  }
  return result;
}

MMRESULT waveOutReset(HWAVEOUT handle) {
  StreamCall call;
  if (const MMRESULT bad = OpenStream(handle, call)) return bad;
  return Guarded([&] { return call.stream().Reset(); });
}

MMRESULT waveOutPause(HWAVEOUT handle) {
  StreamCall call;
  if (const MMRESULT bad = OpenStream(handle, call)) return bad;
  return Guarded([&] { return call.stream().Pause(); });
}

MMRESULT waveOutRestart(HWAVEOUT handle) {
  StreamCall call;
  if (const MMRESULT bad = OpenStream(handle, call)) return bad;
  return Guarded([&] { return call.stream().Restart(); });
}

MMRESULT waveOutGetPosition(HWAVEOUT handle, MMTIME* time, uint32_t size) {
  StreamCall call;
  WAVEFORMATEX format{};
  if (const MMRESULT bad = OpenStream(handle, call, &format)) return bad;
  if (time == nullptr || size < sizeof(MMTIME)) return MMSYSERR_INVALPARAM;
  uint64_t frames = 0;
  if (const MMRESULT failed = Guarded([&] { return call.stream().GetPosition(frames); }))
    return failed;
  const uint64_t rate = format.nSamplesPerSec;
  switch (time->wType) {
    case TIME_MS:
      time->u.ms = rate == 0 ? 0 : static_cast<uint32_t>(frames * 1000 / rate);
      break;
    case TIME_SAMPLES:
      time->u.sample = static_cast<uint32_t>(frames);
      break;
    case TIME_SMPTE: {
      if (rate == 0) return MMSYSERR_ERROR;
      const uint64_t seconds = frames / rate;
      time->u.smpte.hour = static_cast<uint8_t>(seconds / 3600);
      time->u.smpte.min = static_cast<uint8_t>(seconds / 60 % 60);
      time->u.smpte.sec = static_cast<uint8_t>(seconds % 60);
      time->u.smpte.frame = static_cast<uint8_t>(frames % rate * 30 / rate);
      time->u.smpte.fps = 30;
      time->u.smpte.dummy = 0;
      break;
    }
    default:
      time->wType = TIME_BYTES;
      time->u.cb = static_cast<uint32_t>(frames * format.nBlockAlign);
      break;
  }
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetVolume(HWAVEOUT handle, uint32_t* volume) {
  StreamCall call;
  if (const MMRESULT bad = OpenStream(handle, call)) return bad;
  if (volume == nullptr) return MMSYSERR_INVALPARAM;
  return Guarded([&] { return call.stream().GetVolume(*volume); });
}

MMRESULT waveOutSetVolume(HWAVEOUT handle, uint32_t volume) {
  StreamCall call;
  if (const MMRESULT bad = OpenStream(handle, call)) return bad;
  return Guarded([&] { return call.stream().SetVolume(volume); });
}

// Pitch and playback rate are offered by none of our sound systems: a valid
// handle (and, for a query, somewhere to answer) gets MMSYSERR_NOTSUPPORTED.
namespace {
MMRESULT UnsupportedControl(HWAVEOUT handle, bool answerMissing) {
  StreamCall call;
  if (const MMRESULT bad = OpenStream(handle, call)) return bad;
  return answerMissing ? MMSYSERR_INVALPARAM : MMSYSERR_NOTSUPPORTED;
}
}  // namespace

MMRESULT waveOutGetPitch(HWAVEOUT handle, uint32_t* pitch) {
  return UnsupportedControl(handle, pitch == nullptr);
}
MMRESULT waveOutSetPitch(HWAVEOUT handle, uint32_t /*pitch*/) {
  return UnsupportedControl(handle, false);
}
MMRESULT waveOutGetPlaybackRate(HWAVEOUT handle, uint32_t* rate) {
  return UnsupportedControl(handle, rate == nullptr);
}
MMRESULT waveOutSetPlaybackRate(HWAVEOUT handle, uint32_t /*rate*/) {
  return UnsupportedControl(handle, false);
}

MMRESULT waveOutGetDevCaps(uint32_t deviceId, WAVEOUTCAPS* caps, uint32_t size) {
  if (caps == nullptr || size == 0) return MMSYSERR_INVALPARAM;
  if (deviceId != WAVE_MAPPER && deviceId != 0) return MMSYSERR_BADDEVICEID;
  std::shared_ptr<WaveOutBackend> backend = CurrentWaveOutBackend();
  if (backend == nullptr) return MMSYSERR_NODRIVER;
  WAVEOUTCAPS full{};
  if (const MMRESULT failed = Guarded([&] { return backend->GetCaps(full); })) return failed;
  full.szPname[sizeof full.szPname - 1] = '\0';
  full.dwSupport &= ~(WAVECAPS_PITCH | WAVECAPS_PLAYBACKRATE);
  std::memcpy(caps, &full, std::min<size_t>(size, sizeof full));
  return MMSYSERR_NOERROR;
}

uint32_t waveOutGetNumDevs() { return CurrentWaveOutBackend() == nullptr ? 0 : 1; }

MMRESULT waveOutGetErrorText(MMRESULT code, char* text, uint32_t size) {
  if (text == nullptr || size == 0) return MMSYSERR_INVALPARAM;
  text[0] = '\0';
  std::string message;
  if (std::shared_ptr<WaveOutBackend> backend = CurrentWaveOutBackend()) {
    try {
      message = backend->ErrorText(code);
    } catch (const std::bad_alloc&) {
      return MMSYSERR_NOMEM;
    }
  }
  if (message.empty()) {
    const char* common = CommonWaveOutErrorText(code);
    if (common == nullptr) return MMSYSERR_BADERRNUM;
    message = common;
  }
  const size_t n = std::min<size_t>(message.size(), size - 1);
  std::memcpy(text, message.data(), n);
  text[n] = '\0';
  return MMSYSERR_NOERROR;
}

}  // namespace tw
