#include "audio/WaveIO.h"

#include <cstdio>
#include <new>
#include <optional>
#include <vector>

#include "audio/WaveUtils.h"
#include "platform/ModuleName.h"
#include "platform/ThreadPriority.h"
#include "runtime/MulDiv.h"

namespace tw {

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
      FRelay(new Relay),
      FPool(reinterpret_cast<uintptr_t>(this)) {}

TWaveAudioIO::~TWaveAudioIO() {
  JoinFinishedThread();
  TWaveAudioIO::ReleaseAllBuffers();
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
  try {
    GiveUpDevice();
  } catch (...) {
  }
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

bool TWaveAudioIO::MoveState(TWaveDeviceEvent Event) {
  const TWaveDeviceState from = FState;
  const std::optional<TWaveDeviceState> to = NextWaveDeviceState(from, Event);
  if (!to) return false;
  if (*to == TWaveDeviceState::kOpening) {
    FOpenedEvent.Reset();
    FWatchdog.Arm();
  }
  if (*to == TWaveDeviceState::kStopping) FWatchdog.NoteStop();
  FState = *to;
  if (from == TWaveDeviceState::kOpening && *to != from) FOpenedEvent.Set();
  return true;
}

void TWaveAudioIO::SetActive(bool Value) {
  if (Value && Stopping() && GetActive()) {
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
  if (FPool.Reallocate(Header, Size, Data)) return true;
  Success(MMSYSERR_NOMEM);
  return false;
}

void TWaveAudioIO::ReleaseAllBuffers() { FPool.ReleaseAll(); }

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
  {
    std::lock_guard lock(*mutex);
    FRelay->CutOff();
    relays->push_back(FRelay);
  }
  FRelay = new Relay;
  FPool.Abandon();
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
    while (Opening() && FCallback != 0) {
      if (!FWindow.PumpOne()) break;
    }
  }
  // Thread mode, or a thread that does not own the window: the open is
  // finished by someone else.
  while (Opening() && FCallback != 0) {
    if (WaitForSyncObject(&FOpenedEvent, INFINITE) != WAIT_OBJECT_0) break;
  }
}

void TWaveAudioIO::WaitUntilClosed() {
  if (FCallback == 0) {
    // Closed, but a callback thread told to end may still be running the
    // close's handlers (OnDeactivate): they are part of the close, and the
    // caller may touch what they touch as soon as this returns.
    if (FCallbackType == CALLBACK_THREAD) JoinFinishedThread();
    return;
  }
  if (FCallbackType == CALLBACK_THREAD) {
    if (!FThread || FThread->ThreadId() == std::this_thread::get_id()) return;
    // A close stays under way until the callback is released; the thread
    // ends right after.
    while (Closing() && !FThread->EndedEvent().IsSignalled()) {
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

// ---------------------------------------------------------------- watchdog

TWaveStallWatchdog::TWatch TWaveAudioIO::StallWatch() {
  if (!GetActive()) return TWaveStallWatchdog::TWatch::kNone;
  switch (State()) {
    case TWaveDeviceState::kStopping:
    case TWaveDeviceState::kStalled:
      return TWaveStallWatchdog::TWatch::kStop;
    case TWaveDeviceState::kPlaying:
    case TWaveDeviceState::kDraining:
      if (HandleAllocated() && !GetPaused()) return TWaveStallWatchdog::TWatch::kSound;
      return TWaveStallWatchdog::TWatch::kNone;
    default:  // opening, a close awaited, giving up
      return TWaveStallWatchdog::TWatch::kNone;
  }
}

TWaveStallWatchdog::Clock::time_point TWaveAudioIO::StallDeadline() {
  return FWatchdog.Deadline(StallWatch(), FPool.PendingBytes(), FDeviceFormat.nAvgBytesPerSec,
                            FStallTimeout);
}

uint32_t TWaveAudioIO::StallCheckDelay() {
  std::lock_guard lock(FDeviceLock);
  return TWaveStallWatchdog::DelayMs(StallDeadline());
}

void TWaveAudioIO::CheckStall() {
  std::lock_guard lock(FDeviceLock);
  const TWaveStallWatchdog::Clock::time_point deadline = StallDeadline();
  if (deadline == TWaveStallWatchdog::Clock::time_point::max()) return;
  if (TWaveStallWatchdog::Clock::now() < deadline) return;
  const TWaveStallWatchdog::TRound round = FWatchdog.TakeRound();
  if (round.Report) {
    ReportAudioFailure("EWaveAudioSysError",
                       "The sound output stopped responding: its buffers did not come back",
                       __builtin_return_address(0));
  }
  if (MoveState(round.GiveUp ? TWaveDeviceEvent::kGiveUp : TWaveDeviceEvent::kStall)) {
    InternalClose();
  }
}

void TWaveAudioIO::GiveUpDevice() {
  std::lock_guard lock(FDeviceLock);
  if (GetActive() && MoveState(TWaveDeviceEvent::kGiveUp)) InternalClose();
}

// ---------------------------------------------------------------- events

void TWaveAudioIO::DeviceOpened() {
  MoveState(TWaveDeviceEvent::kOpened);
  StartBuffering();
  DoActivate();
}

void TWaveAudioIO::DeviceClosed() {
  DoLevel(nullptr, 0);
  ReleaseCallback();
  // Only now: an open waiting for this stop finds the object inactive.
  MoveState(TWaveDeviceEvent::kClosed);
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
