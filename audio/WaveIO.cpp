#include "audio/WaveIO.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "audio/WaveUtils.h"
#include "platform/ModuleName.h"
#include "platform/ThreadPriority.h"
#include "runtime/MulDiv.h"

namespace tw {

// A buffer header with the object's own data block. The header comes first,
// so a WAVEHDR* handed out by the object is also a Block*.
struct TWaveAudioIO::Block {
  WAVEHDR Header{};
  char* Data = nullptr;
  uint32_t Capacity = 0;
  ~Block() { delete[] Data; }
};

// Forwards a device's notifications to the object's window or thread until
// it is cut off; after that they are dropped. Post never waits on the
// receiver: the lock only keeps a cut-off from racing a post in flight.
class TWaveAudioIO::Relay : public NotifyTarget {
 public:
  void Attach(NotifyTarget* To) {
    std::lock_guard lock(FMutex);
    FTo = To;
  }
  void CutOff() { Attach(nullptr); }
  bool Post(uint32_t Message, uintptr_t Param) override {
    std::lock_guard lock(FMutex);
    return FTo != nullptr && FTo->Post(Message, Param);
  }

 private:
  std::mutex FMutex;
  NotifyTarget* FTo = nullptr;
};

namespace {

// How many freed headers (with their blocks) an object keeps for reuse.
constexpr size_t kMaxSpareBuffers = 8;

std::atomic<uint32_t> gDefaultStallTimeout{5000};

}  // namespace

void ReportAudioFailure(const char* ClassName, const std::string& Message, const void* Where) {
  std::string text = Message;
  if (!text.empty() && text.back() != '.') text += '.';
  std::fprintf(stderr, "Exception %s in module %s at %p.\n%s\n\n", ClassName, ModuleName(), Where,
               text.c_str());
  std::fflush(stderr);
}

// ---------------------------------------------------------------- TWaveThread

TWaveThread::TWaveThread(TWaveAudioIO* Owner) : FWaveAudioIO(Owner) {
  FThread = std::thread([this] { Execute(); });
}

TWaveThread::~TWaveThread() {
  if (FThread.joinable()) {
    if (FThread.get_id() == std::this_thread::get_id()) {
      FThread.detach();
    } else {
      FThread.join();
    }
  }
}

void TWaveThread::Execute() {
  // Above the rest of the process, so refills are not delayed by it. Raising
  // a priority needs the privilege to; without it the thread runs at normal
  // priority.
  RaiseThreadPriority();
  const std::shared_ptr<MessageQueue>& queue = MessageQueue::Current();
  FTarget = std::make_unique<ThreadTarget>(queue);
  FThreadEvent.Set();
  QueuedMessage msg;
  while (queue->GetMessage(msg)) FWaveAudioIO->ProcessMessage(msg.Message, msg.Param);
  FThreadEvent.Reset();
  FEnded.Set();
}

bool TWaveThread::Post(uint32_t Message, uintptr_t Param) {
  return FTarget != nullptr && FTarget->Post(Message, Param);
}

void TWaveThread::Join() {
  if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) FThread.join();
}

// ---------------------------------------------------------------- TWaveAudioIO

uint32_t TWaveAudioIO::DefaultStallTimeout() { return gDefaultStallTimeout; }
void TWaveAudioIO::SetDefaultStallTimeout(uint32_t Ms) { gDefaultStallTimeout = Ms; }

TWaveAudioIO::TWaveAudioIO(TComponent* Owner)
    : TComponent(Owner),
      FStallTimeout(gDefaultStallTimeout),
      FWindow([this](uint32_t Message, uintptr_t Param) { ProcessMessage(Message, Param); }),
      FRelay(new Relay) {
  FBuffers.reserve(kMaxSpareBuffers);
  FSpare.reserve(kMaxSpareBuffers);
}

TWaveAudioIO::~TWaveAudioIO() {
  JoinFinishedThread();
  TWaveAudioIO::ReleaseAllBuffers();
  for (Block* b : FSpare) delete b;
  delete FRelay;
}

void TWaveAudioIO::CloseForDestruction() {
  Destroying();
  // A stop whose reset failed stays under way, and the wait's watchdog
  // resets again; each round ends either way, so this loop is bounded.
  for (int attempt = 0; attempt < 3 && GetActive(); ++attempt) {
    try {
      SetActive(false);
    } catch (...) {
      // Nothing may leave a destructor; the wait below finishes the stop.
    }
    try {
      WaitUntilClosed();
    } catch (...) {
    }
  }
  // Buffers still with a device must not be freed under it.
  if (GetActive()) AbandonDevice();
  if (FThread) {
    // A callback thread still running (its device never closed) is told to end.
    if (FCallback != 0) FThread->Post(WM_QUIT, 0);
    FThread->Join();
  }
  FWindow.Destroy();
  FCallback = 0;
}

void TWaveAudioIO::SetAsync(bool Value) {
  if (!GetActive()) FAsync = Value;
}

uint32_t TWaveAudioIO::CalcBufferSize() const {
  return WaveBufferBytes(&FDeviceFormat, FBufferLength);
}

void TWaveAudioIO::SetOpening(bool Value) {
  if (Value) {
    FOpenedEvent.Reset();
    FOpening = true;
  } else {
    FOpening = false;
    FOpenedEvent.Set();
  }
}

void TWaveAudioIO::SetActive(bool Value) {
  if (Value && FStopping && GetActive()) {
    // Still closing after a stop: the open follows the close.
    WaitUntilClosed();
  }
  if (Value == GetActive()) return;
  if (Value) {
    InternalOpen();
  } else {
    InternalClose();
  }
}

void TWaveAudioIO::SetPaused(bool Value) {
  if (Value == GetPaused()) return;
  if (Value) {
    InternalPause();
  } else {
    InternalResume();
  }
}

bool TWaveAudioIO::IsPCMFormatSupported(uint8_t Code) {
  WAVEFORMATEX format{};
  if (!FillPCMFormatFromCode(format, Code)) return false;
  return IsFormatSupported(format);
}

uint32_t TWaveAudioIO::MMTimeToMS(const MMTIME& Time) const {
  switch (Time.wType) {
    case TIME_MS:
      return Time.u.ms;
    case TIME_SAMPLES:
      if (FDeviceFormat.nSamplesPerSec == 0) return 0;
      return static_cast<uint32_t>(MulDiv64(Time.u.sample, 1000, FDeviceFormat.nSamplesPerSec));
    case TIME_BYTES:
      if (FDeviceFormat.nAvgBytesPerSec == 0) return 0;
      return static_cast<uint32_t>(MulDiv64(Time.u.cb, 1000, FDeviceFormat.nAvgBytesPerSec));
    case TIME_SMPTE:
      return (Time.u.smpte.hour * 3600u + Time.u.smpte.min * 60u + Time.u.smpte.sec) * 1000u;
    default:
      return 0;
  }
}

bool TWaveAudioIO::Success(MMRESULT Code) {
  FLastError = Code;
  if (Code != MMSYSERR_NOERROR) DoError();
  return Code == MMSYSERR_NOERROR;
}

// ---------------------------------------------------------------- buffers

bool TWaveAudioIO::ReallocateBuffer(WAVEHDR*& Header, uint32_t Size, void* Data) {
  if (Size == 0) {
    if (Header != nullptr) FreeBuffer(Header);
    return true;
  }
  const bool ownData = Data == nullptr;
  const uintptr_t self = reinterpret_cast<uintptr_t>(this);
  if (Header == nullptr) {
    Block* b = nullptr;
    if (!FSpare.empty()) {
      b = FSpare.back();
      FSpare.pop_back();
    } else {
      b = new (std::nothrow) Block;
    }
    if (b != nullptr) {
      try {
        FBuffers.push_back(&b->Header);
      } catch (const std::bad_alloc&) {
        delete b;
        b = nullptr;
      }
    }
    if (b == nullptr) {
      Header = nullptr;
      Success(MMSYSERR_NOMEM);
      return false;
    }
    b->Header = WAVEHDR{};
    Header = &b->Header;
  }
  Block* b = reinterpret_cast<Block*>(Header);
  if (Header->dwUser != self) {
    // The data belonged to someone else: forget it.
    Header->lpData = nullptr;
    Header->dwBufferLength = 0;
  } else if (Header->lpData != nullptr && Header->lpData != b->Data) {
    // A caller's block the object adopted: it is the object's to free.
    std::free(Header->lpData);
    Header->lpData = nullptr;
    Header->dwBufferLength = 0;
  }
  char* data = static_cast<char*>(Data);
  if (ownData) {
    if (b->Capacity < Size) {
      char* grown = new (std::nothrow) char[Size];
      if (grown == nullptr) {
        FreeBuffer(Header);
        Success(MMSYSERR_NOMEM);
        return false;
      }
      // A resize keeps what the block held.
      if (b->Data != nullptr && Header->lpData == b->Data && Header->dwBufferLength > 0) {
        std::memcpy(grown, b->Data, std::min(Header->dwBufferLength, Size));
      }
      delete[] b->Data;
      b->Data = grown;
      b->Capacity = Size;
    }
    data = b->Data;
  }
  *Header = WAVEHDR{};
  if (ownData) Header->dwUser = self;
  Header->lpData = data;
  Header->dwBufferLength = Size;
  return true;
}

void TWaveAudioIO::FreeBuffer(WAVEHDR*& Header) {
  Block* b = reinterpret_cast<Block*>(Header);
  auto it = std::find(FBuffers.begin(), FBuffers.end(), Header);
  if (it != FBuffers.end()) FBuffers.erase(it);
  if (Header->dwUser == reinterpret_cast<uintptr_t>(this) && Header->lpData != nullptr &&
      Header->lpData != b->Data) {
    std::free(Header->lpData);
  }
  Header->lpData = nullptr;
  Header->dwUser = 0;
  if (FSpare.size() < kMaxSpareBuffers) {
    FSpare.push_back(b);  // reserved in the constructor: no allocation here
  } else {
    delete b;
  }
  Header = nullptr;
}

void TWaveAudioIO::ReleaseAllBuffers() {
  while (!FBuffers.empty()) {
    WAVEHDR* header = FBuffers.back();
    FreeBuffer(header);
  }
}

// ---------------------------------------------------------------- channel

NotifyTarget* TWaveAudioIO::CallbackTarget() {
  if (FCallbackType == CALLBACK_THREAD && FThread) {
    FRelay->Attach(FThread->Target());
  } else {
    FRelay->Attach(&FWindow);
  }
  return FRelay;
}

void TWaveAudioIO::AbandonChannelAndBuffers() {
  // Kept for the rest of the process, past the destruction of statics: the
  // device may still use them.
  static auto* const mutex = new std::mutex;
  static auto* const relays = new std::vector<Relay*>;
  static auto* const blocks = new std::vector<Block*>;
  std::lock_guard lock(*mutex);
  FRelay->CutOff();
  relays->push_back(FRelay);
  FRelay = new Relay;
  for (WAVEHDR* h : FBuffers) blocks->push_back(reinterpret_cast<Block*>(h));
  FBuffers.clear();
}

void TWaveAudioIO::JoinFinishedThread() {
  if (!FThread) return;
  if (FThread->ThreadId() == std::this_thread::get_id()) return;
  FThread->Join();
  FThread.reset();
}

void TWaveAudioIO::CreateCallback() {
  if (FAsync) {
    JoinFinishedThread();
    FCallbackType = CALLBACK_THREAD;
    FThread = std::make_unique<TWaveThread>(this);
    FCallback = reinterpret_cast<uintptr_t>(FThread.get());
    // The device may post as soon as it is open: its queue must exist first.
    WaitForSyncObject(&FThread->ThreadEvent(), INFINITE);
  } else {
    FCallbackType = CALLBACK_WINDOW;
    FWindow.Create();
    FCallback = reinterpret_cast<uintptr_t>(&FWindow);
  }
}

void TWaveAudioIO::ReleaseCallback() {
  if (FCallback == 0) return;
  if (FCallbackType == CALLBACK_THREAD && FThread) {
    FThread->Post(WM_QUIT, 0);
  } else {
    FWindow.Destroy();
  }
  FCallback = 0;
}

void TWaveAudioIO::PostCallbackMessage(uint32_t Message, uintptr_t Param) {
  if (FCallback == 0) return;
  if (FCallbackType == CALLBACK_THREAD && FThread) {
    FThread->Post(Message, Param);
  } else {
    FWindow.Post(Message, Param);
  }
}

bool TWaveAudioIO::ProcessMessage(uint32_t Message, uintptr_t Param) {
  if (Message < MM_WOM_OPEN || Message > MM_WIM_DATA) return false;
  std::lock_guard lock(FDeviceLock);
  WAVEHDR* header = reinterpret_cast<WAVEHDR*>(Param);
  try {
    switch (Message) {
      case MM_WOM_OPEN:
        DoWaveOutDeviceOpen();
        break;
      case MM_WOM_CLOSE:
        DoWaveOutDeviceClose();
        break;
      case MM_WOM_DONE:
        DoWaveOutDeviceDone(header);
        break;
      case MM_WIM_OPEN:
        DoWaveInDeviceOpen();
        break;
      case MM_WIM_CLOSE:
        DoWaveInDeviceClose();
        break;
      case MM_WIM_DATA:
        DoWaveInDeviceData(header);
        break;
    }
  } catch (const Exception& e) {
    ReportAudioFailure(e.ClassName(), e.Message(), __builtin_return_address(0));
  } catch (const std::bad_alloc&) {
    ReportAudioFailure("EOutOfMemory", "Out of memory", __builtin_return_address(0));
  } catch (const std::exception& e) {
    ReportAudioFailure("EExternal", e.what(), __builtin_return_address(0));
  } catch (...) {
    ReportAudioFailure("EExternal", "Unknown exception", __builtin_return_address(0));
  }
  return true;
}

// ---------------------------------------------------------------- waits

void TWaveAudioIO::WaitUntilOpened() {
  if (FCallback == 0) return;
  if (FCallbackType == CALLBACK_WINDOW && FWindow.OwnedByCurrentThread()) {
    while (FOpening && FCallback != 0) {
      if (!FWindow.PumpOne()) break;
    }
  }
  // Thread mode, or a thread that does not own the window: the open is
  // finished by someone else.
  while (FOpening && FCallback != 0) {
    if (WaitForSyncObject(&FOpenedEvent, INFINITE) != WAIT_OBJECT_0) break;
  }
}

void TWaveAudioIO::WaitUntilClosed() {
  if (FCallback == 0) return;
  if (FCallbackType == CALLBACK_THREAD) {
    if (!FThread || FThread->ThreadId() == std::this_thread::get_id()) return;
    // A stop stays under way until the callback is released, after Closing
    // has cleared; the thread ends right after.
    while ((FClosing || FStopping) && !FThread->EndedEvent().IsSignalled()) {
      const uint32_t result = WaitForSyncObject(&FThread->EndedEvent(), StallCheckDelay());
      if (result == WAIT_TIMEOUT) {
        CheckStall();
      } else if (result != WAIT_OBJECT_0) {
        break;
      }
    }
    if (FThread->EndedEvent().IsSignalled()) JoinFinishedThread();
    return;
  }
  while (FCallback != 0) {
    // What is queued is served without the watchdog; only a wait needs its bound.
    CallbackWindow::PumpResult result = FWindow.PumpOneFor(0);
    if (result == CallbackWindow::PumpResult::kTimedOut) {
      result = FWindow.PumpOneFor(StallCheckDelay());
    }
    if (result == CallbackWindow::PumpResult::kGone) break;
    if (result == CallbackWindow::PumpResult::kTimedOut) CheckStall();
  }
}

// ---------------------------------------------------------------- events

void TWaveAudioIO::DeviceOpened() {
  SetOpening(false);
  StartBuffering();
  DoActivate();
}

void TWaveAudioIO::DeviceClosed() {
  DoLevel(nullptr, 0);
  FClosing = false;
  ReleaseCallback();
  // Only now: an open waiting for this stop finds the object inactive.
  FStopping = false;
  ReleaseAllBuffers();
  DoDeactivate();
}

void TWaveAudioIO::DoActivate() {
  if (OnActivate) OnActivate(this);
}

void TWaveAudioIO::DoDeactivate() {
  if (OnDeactivate && !IsDestroying()) OnDeactivate(this);
}

void TWaveAudioIO::DoPause() {
  if (OnPause) OnPause(this);
}

void TWaveAudioIO::DoResume() {
  if (OnResume) OnResume(this);
}

void TWaveAudioIO::DoError() {
  if (OnError) {
    OnError(this);
    return;
  }
  throw EWaveAudioSysError(GetErrorText(FLastError));
}

void TWaveAudioIO::DoLevel(const void* Data, uint32_t Size) {
  if (!OnLevel || IsDestroying() || FDeviceFormat.wFormatTag != WAVE_FORMAT_PCM) return;
  int32_t level;
  if (Size == 0 || Data == nullptr) {
    level = IsSamplePCM(&FDeviceFormat) ? 0 : -1;
  } else {
    level = GetPeakLevel(Data, Size, &FDeviceFormat);
  }
  OnLevel(this, level);
}

void TWaveAudioIO::DoFilter(void* Data, uint32_t Size) {
  if (OnFilter && !IsDestroying()) OnFilter(this, Data, Size);
}

}  // namespace tw
