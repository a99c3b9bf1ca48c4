#pragma once
// The base of a wave audio device object: device number, buffer settings,
// the list of buffers handed to the device, the device lock, the channel the
// device reports back on, the routing of its notifications to handlers, the
// waits, the error path and the user events. TWaveAudioOut (WaveOut.h) fills
// in the direction-specific operations.
//
// Notification channel, chosen by Async when the device is opened:
// - window mode (Async false, the default): a callback window owned by the
//   thread that opens the device; its notifications are handled when that
//   thread waits in WaitUntilOpened / WaitUntilClosed / WaitForSyncObject;
// - thread mode (Async true): a TWaveThread with its own queue handles them.
// Either way notifications are handled in the order the device posted them,
// each one under the device lock. The waits block; they never spin.
//
// Stopping: a close asked for (SetActive(false), destruction) always takes
// effect, also after the data has ended and while paused: the device is
// reset so every buffer comes back, and the close follows. While the data
// merely runs out, the last buffers play to their end.
//
// A device that stops returning buffers (or does not finish a stop) is not
// waited for forever: once nothing has come back for StallTimeout ms past
// the end of the sound it holds, the waits report it once on standard error
// and ask the stop again through InternalClose; a device that does not
// respond to that either is given up after a few rounds.
//
// Its parts, each called one way: the state between open and close
// (WaveDeviceState.h), which only this object moves; the buffer headers
// (WaveBufferPool.h); the stall watchdog (WaveStallWatchdog.h); the
// notification channel. The output device reaches them through the
// protected operations below; this object reaches the device only through
// the virtual operations.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "audio/WaveBufferPool.h"
#include "audio/WaveDeviceState.h"
#include "audio/WaveStallWatchdog.h"
#include "platform/MessageQueue.h"
#include "platform/SyncObjects.h"
#include "platform/mmsystem.h"
#include "runtime/Component.h"
#include "runtime/Exceptions.h"

namespace tw {

class TWaveAudioIO;

// Events of the device objects. Sender is the device object.
using TWaveAudioEvent = std::function<void(TWaveAudioIO* Sender)>;
// Level: peak of a buffer in percent of full scale (-1 when not measurable).
using TWaveAudioLevelEvent = std::function<void(TWaveAudioIO* Sender, int32_t Level)>;
// Sees each buffer's data just before it is queued; may change it in place.
using TWaveAudioFilterEvent = std::function<void(TWaveAudioIO* Sender, void* Data, uint32_t Size)>;

// Failures of the device objects.
TW_DECLARE_EXCEPTION(EWaveAudioError, Exception);
// A platform audio call failed and no OnError handler is set. The message is
// the platform's text for the result code.
TW_DECLARE_EXCEPTION(EWaveAudioSysError, EWaveAudioError);
// Open of an open device ("Device is aleardy open") or close of a closed one
// ("Device is aleardy close").
TW_DECLARE_EXCEPTION(EWaveAudioInvalidOperation, EWaveAudioError);

// Writes the report of a failure that goes no further to standard error:
// "Exception <ClassName> in module <program> at <address>.", the message
// (with a full stop added unless it ends in one, or is empty) and an empty
// line.
void ReportAudioFailure(const char* ClassName, const std::string& Message, const void* Where);

// A set of PCM format codes (TPCMFormat 1..20): bit n stands for code n.
using TPCMFormats = uint32_t;

// The callback thread of a device object in thread mode. It creates its
// queue, sets the owner's ThreadEvent, hands every message to the owner's
// ProcessMessage until WM_QUIT, then clears ThreadEvent and signals that it
// has ended. The owner joins it (it never outlives the owner).
class TWaveThread {
 public:
  explicit TWaveThread(TWaveAudioIO* Owner);
  ~TWaveThread();  // joins (waits for the end) unless called on the thread itself
  TWaveThread(const TWaveThread&) = delete;
  TWaveThread& operator=(const TWaveThread&) = delete;

  TWaveAudioIO* WaveAudioIO() const { return FWaveAudioIO; }
  std::thread::id ThreadId() const { return FThread.get_id(); }
  // Set while the thread's queue exists and the thread takes messages.
  Event& ThreadEvent() { return FThreadEvent; }
  // Signalled once the thread has left its message loop.
  Event& EndedEvent() { return FEnded; }
  // Posts a thread message; false once the thread has ended.
  bool Post(uint32_t Message, uintptr_t Param);
  NotifyTarget* Target() { return FTarget.get(); }
  // Joins the thread when it has ended or is about to; no-op on the thread itself.
  void Join();

 private:
  void Execute();

  TWaveAudioIO* FWaveAudioIO;
  Event FThreadEvent{true, false};
  Event FEnded{true, false};
  std::unique_ptr<ThreadTarget> FTarget;
  std::thread FThread;
};

class TWaveAudioIO : public TComponent {
 public:
  explicit TWaveAudioIO(TComponent* Owner);
  // Derived classes close the device in their own destructor
  // (CloseForDestruction), while their overrides still run.
  ~TWaveAudioIO() override;

  const char* ClassName() const override { return "TWaveAudioIO"; }

  // --- properties ---
  bool Active() { return GetActive(); }
  bool Paused() { return GetPaused(); }
  bool Async() const { return FAsync; }
  // Ignored while Active.
  void SetAsync(bool Value);
  uint32_t DeviceID() const { return FDeviceID; }
  void SetDeviceID(uint32_t Value) { FDeviceID = Value; }
  uint16_t BufferLength() const { return FBufferLength; }
  // Values below 10 ms store 10.
  void SetBufferLength(uint16_t Value) { FBufferLength = Value < 10 ? 10 : Value; }
  uint16_t BufferCount() const { return FBufferCount; }
  void SetBufferCount(uint16_t Value) { FBufferCount = Value; }
  MMRESULT LastError() const { return FLastError; }
  std::string LastErrorText() { return GetErrorText(FLastError); }
  uint16_t ActiveBufferCount() const { return FPool.Count(); }
  const WAVEFORMATEX& DeviceFormat() const { return FDeviceFormat; }
  // An open is under way.
  bool Opening() const { return IsOpeningState(FState); }
  // A close is under way, or the data has ended and the device closes when
  // its last buffer comes back; cleared when the device has closed.
  bool Closing() const { return IsClosingState(FState); }
  // The callback: non-zero from the open until the device has closed.
  uintptr_t Callback() const { return FCallback; }
  uint32_t CallbackType() const { return FCallbackType; }
  // Bytes in BufferLength ms of DeviceFormat, rounded up to whole frames.
  uint32_t CalcBufferSize() const;
  // A close has been asked for and is under way (the device is being reset
  // and closed); cleared when the device has closed.
  bool Stopping() const { return IsStoppingState(FState); }

  // How long past the end of the sound it holds a device may keep its
  // buffers (or a close unconfirmed) before the waits take it as stuck.
  uint32_t StallTimeout() const { return FStallTimeout; }
  void SetStallTimeout(uint32_t Ms) { FStallTimeout = Ms; }
  // The StallTimeout of objects created from now on (5000 ms at start).
  static uint32_t DefaultStallTimeout();
  static void SetDefaultStallTimeout(uint32_t Ms);

  TWaveAudioEvent OnActivate, OnDeactivate, OnPause, OnResume, OnError;
  TWaveAudioLevelEvent OnLevel;
  TWaveAudioFilterEvent OnFilter;

  void Lock() { FDeviceLock.lock(); }
  void Unlock() { FDeviceLock.unlock(); }

  // Blocks until an open in progress has finished (its notification handled
  // in window mode). Returns at once when inactive.
  void WaitUntilOpened();
  // Window mode: dispatches the callback window's notifications until the
  // device has closed and released the window. Thread mode: waits only
  // while a close is under way or its handlers (OnDeactivate) still run on
  // the callback thread, until that thread has ended. Either way a stuck
  // device is detected and stopped while waiting (see above).
  void WaitUntilClosed();

  // Milliseconds of an MMTIME in DeviceFormat; 0 for unknown types or a
  // zero rate.
  uint32_t MMTimeToMS(const MMTIME& Time) const;
  // Stores Code in LastError; a non-zero code goes to DoError (OnError, or
  // EWaveAudioSysError with the code's text). Returns Code == 0.
  bool Success(MMRESULT Code);

  // True opens (when a close is under way, after that close); false asks for
  // the close, which takes effect in every state.
  virtual void SetActive(bool Value);
  virtual void SetPaused(bool Value);
  virtual bool GetActive() { return FCallback != 0; }
  virtual bool GetPaused() = 0;
  virtual uint32_t GetNumDevs() = 0;
  virtual std::string GetDeviceName() = 0;
  virtual TPCMFormats GetDeviceFormats() = 0;
  // Milliseconds played.
  virtual uint32_t GetPosition() = 0;
  // The text of a result code; empty when there is none.
  virtual std::string GetErrorText(MMRESULT Code) = 0;
  virtual MMRESULT ValidateDeviceID(uint32_t Id) = 0;
  virtual bool IsFormatSupported(const WAVEFORMATEX& Format) = 0;
  // False for a code that names no PCM format.
  virtual bool IsPCMFormatSupported(uint8_t Code);

  // Handles one notification under the device lock. True for the six device
  // notifications; a failure inside a handler is reported on standard error
  // and goes no further.
  bool ProcessMessage(uint32_t Message, uintptr_t Param);

  // Buffer headers (TWaveBufferPool::Reallocate). Header is set to a new
  // header when null; Size 0 frees it. Data null: the object owns a block of
  // Size bytes; otherwise the header points at Data, which stays the
  // caller's unless the header's user word is later set to this object
  // (AdoptBufferData: then it must be a std::malloc block, freed with the
  // header). Allocation failure: MMSYSERR_NOMEM through Success, false.
  bool ReallocateBuffer(WAVEHDR*& Header, uint32_t Size, void* Data);
  virtual void ReleaseAllBuffers();

 protected:
  // Device notifications, run under the lock on the notification thread.
  virtual void DoWaveInDeviceOpen() { DeviceOpened(); }
  virtual void DoWaveInDeviceClose() { DeviceClosed(); }
  virtual void DoWaveInDeviceData(WAVEHDR* Header) { (void)Header; }
  virtual void DoWaveOutDeviceOpen() { DeviceOpened(); }
  virtual void DoWaveOutDeviceClose() { DeviceClosed(); }
  virtual void DoWaveOutDeviceDone(WAVEHDR* Header) { (void)Header; }

  // The format to open with; FreeIt tells whether the caller deletes it
  // (operator delete of a WAVEFORMATEX). A null format fails the open.
  virtual void GetWaveFormat(const WAVEFORMATEX*& Format, bool& FreeIt) = 0;
  virtual bool InternalOpen() = 0;
  // The stop: SetActive(false) asks it, and so do the waits' watchdog (the
  // state is then Stalled: ask the stop again, reporting nothing) and a
  // destruction whose device never closed (GivingUp: AbandonChannelAndBuffers,
  // then close as if the device had said so). Called under the lock in
  // those two states.
  virtual bool InternalClose() = 0;
  virtual bool InternalPause() = 0;
  virtual bool InternalResume() = 0;
  virtual bool HandleAllocated() = 0;
  virtual void StartBuffering() = 0;

  virtual void DeviceOpened();
  virtual void DeviceClosed();
  virtual void DoActivate();
  virtual void DoDeactivate();
  virtual void DoPause();
  virtual void DoResume();
  virtual void DoError();
  virtual void DoLevel(const void* Data, uint32_t Size);
  virtual void DoFilter(void* Data, uint32_t Size);

  // The state between open and close, and the one way to move it: Event
  // from the present state by NextWaveDeviceState; false (nothing changes)
  // when the event does not apply there. Under the lock. Entering Opening
  // arms the stall watchdog, entering Stopping starts its stop clock, and
  // leaving Opening ends WaitUntilOpened.
  TWaveDeviceState State() const { return FState; }
  bool MoveState(TWaveDeviceEvent Event);
  // The device did something; counted for the stall watchdog. Under the lock.
  void NoteProgress() { FWatchdog.NoteProgress(); }

  // Whether Header is one of this object's buffers.
  bool HoldsBuffer(const WAVEHDR* Header) const { return FPool.Holds(Header); }
  // Header's data (a std::malloc block) is freed by this object with it.
  void AdoptBufferData(WAVEHDR* Header) const { FPool.Adopt(Header); }

  // The notification channel.
  void CreateCallback();
  void ReleaseCallback();
  void PostCallbackMessage(uint32_t Message, uintptr_t Param);
  // Where the device posts: the callback window or the callback thread,
  // through a relay that can be cut off (AbandonChannelAndBuffers).
  NotifyTarget* CallbackTarget();
  // For a device given up on: cuts it off from the callback and leaves it
  // the buffers it holds, which are taken out of Buffers and never freed
  // (the device may still read or report them). Under the lock.
  void AbandonChannelAndBuffers();

  // For the most-derived destructor: quiet events, stop the device and wait
  // for its close, join the callback thread.
  void CloseForDestruction();

  WAVEFORMATEX FDeviceFormat{};
  MMRESULT FLastError = 0;

 private:
  class Relay;
  void JoinFinishedThread();
  // The watchdog of the waits: what bounds the device's silence now and
  // when it counts as stuck (both under the lock); how many ms until then
  // (INFINITE: it cannot be now) and the round of recovery once it does
  // (both take the lock).
  TWaveStallWatchdog::TWatch StallWatch();
  TWaveStallWatchdog::Clock::time_point StallDeadline();
  uint32_t StallCheckDelay();
  void CheckStall();
  // Gives up a device that never closed, so its buffers are not freed under it.
  void GiveUpDevice();

  bool FAsync = false;
  uint32_t FDeviceID = WAVE_MAPPER;
  uint16_t FBufferLength = 1000;
  uint16_t FBufferCount = 2;
  uint32_t FStallTimeout;
  std::atomic<uintptr_t> FCallback{0};
  uint32_t FCallbackType = 0;
  std::recursive_mutex FDeviceLock;
  CallbackWindow FWindow;
  std::unique_ptr<TWaveThread> FThread;
  Relay* FRelay;
  // Signalled whenever an open finishes (Opening cleared).
  Event FOpenedEvent{true, true};
  // Read without the lock by the waits and the state queries.
  std::atomic<TWaveDeviceState> FState{TWaveDeviceState::kIdle};
  TWaveBufferPool FPool;
  TWaveStallWatchdog FWatchdog;
};

// Holds the device lock of a device object for its own life.
class TWaveDeviceLock {
 public:
  explicit TWaveDeviceLock(TWaveAudioIO& Io) : FIo(Io) { FIo.Lock(); }
  ~TWaveDeviceLock() { FIo.Unlock(); }
  TWaveDeviceLock(const TWaveDeviceLock&) = delete;
  TWaveDeviceLock& operator=(const TWaveDeviceLock&) = delete;

 private:
  TWaveAudioIO& FIo;
};

}  // namespace tw
