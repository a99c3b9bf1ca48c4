// The wave output functions over the selected sound system. A handle is a
// slot in a table of devices that is never freed, so a stale or foreign
// handle is recognised (MMSYSERR_INVALHANDLE) instead of dereferenced.
//
// Locking: each device has a re-entrant mutex guarding its flags, its count
// of queued buffers and the posting of its notifications, so they reach the
// target in the order the device produced them. The mutex is never held while
// a stream is asked to write, reset, restart or close, because a stream
// reports finished buffers (BufferDone, which takes the mutex) from its own
// thread while it holds its own report lock.

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
  uint32_t queued = 0;
  NotifyTarget* target = nullptr;
  WAVEFORMATEX format{};
  std::shared_ptr<WaveOutBackend> backend;
  std::shared_ptr<WaveOutStream> stream;
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

// The open device's stream, or a result code saying why there is none.
MMRESULT OpenStream(HWAVEOUT handle, std::shared_ptr<WaveOutStream>& stream,
                    WAVEFORMATEX* format = nullptr) {
  WaveOutDevice* device = FindDevice(handle);
  if (device == nullptr) return MMSYSERR_INVALHANDLE;
  std::lock_guard<std::recursive_mutex> lock(device->mutex);
  if (!device->open) return MMSYSERR_INVALHANDLE;
  stream = device->stream;
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
  if ((flags & WAVE_FORMAT_QUERY) != 0) return Guarded([&] { return backend->Query(*format); });
  if (handle == nullptr) return MMSYSERR_INVALPARAM;

  WaveOutDevice* device = AllocateDevice();
  if (device == nullptr) return MMSYSERR_NOMEM;
  std::unique_ptr<WaveOutStream> opened;
  MMRESULT result = Guarded([&] { return backend->Open(*format, *device, opened); });
  if (result == MMSYSERR_NOERROR && opened == nullptr) result = MMSYSERR_ERROR;
  if (result == MMSYSERR_NOERROR) {
    result = Guarded([&] {
      std::lock_guard<std::recursive_mutex> lock(device->mutex);
      device->stream = std::move(opened);
      device->backend = std::move(backend);
      device->format = *format;
      device->target = callback;
      device->queued = 0;
      device->closing = false;
      device->open = true;
      *handle = device;
      if (callback != nullptr) callback->Post(MM_WOM_OPEN, 0);
      return MMSYSERR_NOERROR;
    });
  }
  if (result != MMSYSERR_NOERROR) {
    opened.reset();
    FreeDevice(device);
  }
  return result;
}

MMRESULT waveOutClose(HWAVEOUT handle) {
  WaveOutDevice* device = FindDevice(handle);
  if (device == nullptr) return MMSYSERR_INVALHANDLE;
  std::shared_ptr<WaveOutStream> stream;
  {
    std::lock_guard<std::recursive_mutex> lock(device->mutex);
    if (!device->open || device->closing) return MMSYSERR_INVALHANDLE;
    if (device->queued > 0) return WAVERR_STILLPLAYING;
    device->closing = true;
    stream = device->stream;
  }
  const MMRESULT result = Guarded([&] { return stream->Close(); });
  std::shared_ptr<WaveOutBackend> backend;
  {
    std::lock_guard<std::recursive_mutex> lock(device->mutex);
    device->closing = false;
    // Only queued buffers keep a stream open; any other failure (a header
    // that could not be brought up to date, say) has released it all the
    // same, so the device closes and the failure is the result.
    if (result == WAVERR_STILLPLAYING) return result;
    if (device->target != nullptr) device->target->Post(MM_WOM_CLOSE, 0);
    device->open = false;
    device->target = nullptr;
    device->stream.reset();  // `stream` still holds it
    device->backend.swap(backend);
  }
  // The stream goes before its backend, and both outside the device's lock.
  stream.reset();
  backend.reset();
  FreeDevice(device);
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
  std::shared_ptr<WaveOutStream> stream;
  {
    std::lock_guard<std::recursive_mutex> lock(device->mutex);
    if (!device->open || device->closing) return MMSYSERR_INVALHANDLE;
    if ((header->dwFlags & WHDR_PREPARED) == 0) return WAVERR_UNPREPARED;
    if ((header->dwFlags & WHDR_INQUEUE) != 0) return WAVERR_STILLPLAYING;
    header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    ++device->queued;
    stream = device->stream;
  }
  const MMRESULT result = Guarded([&] { return stream->Write(header); });
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
  std::shared_ptr<WaveOutStream> stream;
  if (const MMRESULT bad = OpenStream(handle, stream)) return bad;
  return Guarded([&] { return stream->Reset(); });
}

MMRESULT waveOutPause(HWAVEOUT handle) {
  std::shared_ptr<WaveOutStream> stream;
  if (const MMRESULT bad = OpenStream(handle, stream)) return bad;
  return Guarded([&] { return stream->Pause(); });
}

MMRESULT waveOutRestart(HWAVEOUT handle) {
  std::shared_ptr<WaveOutStream> stream;
  if (const MMRESULT bad = OpenStream(handle, stream)) return bad;
  return Guarded([&] { return stream->Restart(); });
}

MMRESULT waveOutGetPosition(HWAVEOUT handle, MMTIME* time, uint32_t size) {
  std::shared_ptr<WaveOutStream> stream;
  WAVEFORMATEX format{};
  if (const MMRESULT bad = OpenStream(handle, stream, &format)) return bad;
  if (time == nullptr || size < sizeof(MMTIME)) return MMSYSERR_INVALPARAM;
  uint64_t frames = 0;
  if (const MMRESULT failed = Guarded([&] { return stream->GetPosition(frames); })) return failed;
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
  std::shared_ptr<WaveOutStream> stream;
  if (const MMRESULT bad = OpenStream(handle, stream)) return bad;
  if (volume == nullptr) return MMSYSERR_INVALPARAM;
  return Guarded([&] { return stream->GetVolume(*volume); });
}

MMRESULT waveOutSetVolume(HWAVEOUT handle, uint32_t volume) {
  std::shared_ptr<WaveOutStream> stream;
  if (const MMRESULT bad = OpenStream(handle, stream)) return bad;
  return Guarded([&] { return stream->SetVolume(volume); });
}

// Pitch and playback rate are offered by none of our sound systems: a valid
// handle (and, for a query, somewhere to answer) gets MMSYSERR_NOTSUPPORTED.
namespace {
MMRESULT UnsupportedControl(HWAVEOUT handle, bool answerMissing) {
  std::shared_ptr<WaveOutStream> stream;
  if (const MMRESULT bad = OpenStream(handle, stream)) return bad;
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
  WAVEOUTCAPS full{};
  if (const MMRESULT failed = Guarded([&] { return backend->GetCaps(full); })) return failed;
  full.szPname[sizeof full.szPname - 1] = '\0';
  full.dwSupport &= ~(WAVECAPS_PITCH | WAVECAPS_PLAYBACKRATE);
  std::memcpy(caps, &full, std::min<size_t>(size, sizeof full));
  return MMSYSERR_NOERROR;
}

uint32_t waveOutGetNumDevs() {
  CurrentWaveOutBackend();
  return 1;
}

MMRESULT waveOutGetErrorText(MMRESULT code, char* text, uint32_t size) {
  if (text == nullptr || size == 0) return MMSYSERR_INVALPARAM;
  text[0] = '\0';
  std::string message;
  if (std::shared_ptr<WaveOutBackend> backend = SelectedWaveOutBackend()) {
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
