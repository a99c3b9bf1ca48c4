#include "audio/WaveOut.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "audio/WaveUtils.h"
#include "runtime/MulDiv.h"

namespace tw {

namespace {

constexpr uint32_t kHeaderSize = sizeof(WAVEHDR);

}  // namespace

// ---------------------------------------------------------------- conversions

void SplitVolume(uint32_t Volume, uint16_t& Left, uint16_t& Right) {
  Left = static_cast<uint16_t>(MulDiv(static_cast<int32_t>(Volume & 0xFFFFu), 100, 65535));
  Right = static_cast<uint16_t>(MulDiv(static_cast<int32_t>(Volume >> 16), 100, 65535));
}

uint32_t CombineVolume(uint16_t Left, uint16_t Right) {
  const int32_t left = std::min<int32_t>(Left, 100);
  const int32_t right = std::min<int32_t>(Right, 100);
  const uint32_t low = static_cast<uint32_t>(MulDiv(left, 65535, 100)) & 0xFFFFu;
  const uint32_t high = static_cast<uint32_t>(MulDiv(right, 65535, 100)) & 0xFFFFu;
  return low | (high << 16);
}

uint32_t FloatToFixed16(double X) {
  if (!(X >= 0.0)) return 0;  // negative or NaN
  if (X >= 65536.0) return 0xFFFFFFFFu;
  const double whole = std::floor(X);
  // Scaling by a power of two is exact, so the floor is the first 16 bits
  // of the fraction.
  const uint32_t fraction = static_cast<uint32_t>(std::floor((X - whole) * 65536.0));
  return (static_cast<uint32_t>(whole) << 16) | fraction;
}

double Fixed16ToFloat(uint32_t Value) {
  return static_cast<int16_t>(Value >> 16) + static_cast<double>(Value & 0xFFFFu) / 65536.0;
}

// ---------------------------------------------------------------- TWaveAudioOut

TWaveAudioOut::TWaveAudioOut(TComponent* Owner) : TWaveAudioIO(Owner) {}

TWaveAudioOut::~TWaveAudioOut() { CloseForDestruction(); }

uint32_t TWaveAudioOut::GetNumDevs() { return waveOutGetNumDevs(); }

std::string TWaveAudioOut::GetDeviceName() {
  WAVEOUTCAPS caps{};
  if (waveOutGetDevCaps(DeviceID(), &caps, sizeof(caps)) != MMSYSERR_NOERROR) return {};
  return std::string(caps.szPname, strnlen(caps.szPname, sizeof(caps.szPname)));
}

TPCMFormats TWaveAudioOut::GetDeviceFormats() {
  WAVEOUTCAPS caps{};
  if (waveOutGetDevCaps(DeviceID(), &caps, sizeof(caps)) != MMSYSERR_NOERROR) return 0;
  TPCMFormats formats = (1u << 1) | (1u << 2) | (1u << 3) | (1u << 4);  // 8000 Hz: always
  for (unsigned i = 0; i < 12; ++i) {
    if (caps.dwFormats & (1u << i)) formats |= 1u << (i + 5);
  }
  return formats;
}

TWaveOutSupport TWaveAudioOut::GetDeviceSupport() {
  WAVEOUTCAPS caps{};
  if (waveOutGetDevCaps(DeviceID(), &caps, sizeof(caps)) != MMSYSERR_NOERROR) return {};
  TWaveOutSupport support{wsAsynchronous};
  if (caps.dwSupport & WAVECAPS_VOLUME) {
    support.Include(wsVolume);
    if (caps.dwSupport & WAVECAPS_LRVOLUME) support.Include(wsLeftRightVolume);
  }
  if (caps.dwSupport & WAVECAPS_PITCH) support.Include(wsPitch);
  if (caps.dwSupport & WAVECAPS_PLAYBACKRATE) support.Include(wsPlaybackRate);
  if (caps.dwSupport & WAVECAPS_SAMPLEACCURATE) support.Include(wsSampleAccurate);
  if (caps.dwSupport & WAVECAPS_SYNC) support.Exclude(wsAsynchronous);
  return support;
}

uint32_t TWaveAudioOut::GetPosition() {
  if (FHandle == nullptr) return FStartPosition;
  MMTIME time{};
  time.wType = TIME_MS;
  if (waveOutGetPosition(FHandle, &time, sizeof(time)) != MMSYSERR_NOERROR) return FStartPosition;
  return FStartPosition + MMTimeToMS(time);
}

std::string TWaveAudioOut::GetErrorText(MMRESULT Code) {
  char text[256] = {};
  if (waveOutGetErrorText(Code, text, sizeof(text)) != MMSYSERR_NOERROR) return {};
  return std::string(text, strnlen(text, sizeof(text)));
}

MMRESULT TWaveAudioOut::ValidateDeviceID(uint32_t Id) {
  WAVEOUTCAPS caps{};
  return waveOutGetDevCaps(Id, &caps, sizeof(caps));
}

bool TWaveAudioOut::IsFormatSupported(const WAVEFORMATEX& Format) {
  return waveOutOpen(nullptr, DeviceID(), &Format, nullptr, 0, WAVE_FORMAT_QUERY) ==
         MMSYSERR_NOERROR;
}

// ---------------------------------------------------------------- volume, pitch, rate

bool TWaveAudioOut::GetDeviceVolume(uint16_t& Left, uint16_t& Right) {
  if (FHandle == nullptr) return false;
  const TWaveOutSupport support = GetDeviceSupport();
  if (!support.Contains(wsVolume)) return false;
  uint32_t volume = 0;
  if (waveOutGetVolume(FHandle, &volume) != MMSYSERR_NOERROR) return false;
  SplitVolume(volume, Left, Right);
  if (!support.Contains(wsLeftRightVolume)) Right = Left;
  return true;
}

bool TWaveAudioOut::SetDeviceVolume(uint16_t& Left, uint16_t& Right) {
  if (!FOptions.Contains(woSetVolume) || FHandle == nullptr) return false;
  const TWaveOutSupport support = GetDeviceSupport();
  if (!support.Contains(wsVolume)) return false;
  if (!support.Contains(wsLeftRightVolume)) {
    Left = Right = static_cast<uint16_t>((Left + Right) / 2);
  }
  return waveOutSetVolume(FHandle, CombineVolume(Left, Right)) == MMSYSERR_NOERROR;
}

uint16_t TWaveAudioOut::Volume() {
  GetDeviceVolume(FVolumeLeft, FVolumeRight);
  return static_cast<uint16_t>((FVolumeLeft + FVolumeRight) / 2);
}

void TWaveAudioOut::SetVolume(uint16_t Value) {
  FVolumeLeft = FVolumeRight = Value;
  SetDeviceVolume(FVolumeLeft, FVolumeRight);
}

uint16_t TWaveAudioOut::VolumeLeft() {
  GetDeviceVolume(FVolumeLeft, FVolumeRight);
  return FVolumeLeft;
}

void TWaveAudioOut::SetVolumeLeft(uint16_t Value) {
  FVolumeLeft = Value;
  SetDeviceVolume(FVolumeLeft, FVolumeRight);
}

uint16_t TWaveAudioOut::VolumeRight() {
  GetDeviceVolume(FVolumeLeft, FVolumeRight);
  return FVolumeRight;
}

void TWaveAudioOut::SetVolumeRight(uint16_t Value) {
  FVolumeRight = Value;
  SetDeviceVolume(FVolumeLeft, FVolumeRight);
}

double TWaveAudioOut::Pitch() {
  if (FHandle == nullptr) return FPitch;
  if (!GetDeviceSupport().Contains(wsPitch)) return 1.0;
  uint32_t value = 0;
  if (waveOutGetPitch(FHandle, &value) != MMSYSERR_NOERROR) return FPitch;
  return Fixed16ToFloat(value);
}

void TWaveAudioOut::SetPitch(double Value) {
  if (Value == FPitch) return;
  FPitch = Value;
  if (FHandle != nullptr && FOptions.Contains(woSetPitch) && GetDeviceSupport().Contains(wsPitch)) {
    waveOutSetPitch(FHandle, FloatToFixed16(Value));
  }
}

double TWaveAudioOut::PlaybackRate() {
  if (FHandle == nullptr) return FPlaybackRate;
  if (!GetDeviceSupport().Contains(wsPlaybackRate)) return 1.0;
  uint32_t value = 0;
  if (waveOutGetPlaybackRate(FHandle, &value) != MMSYSERR_NOERROR) return FPlaybackRate;
  return Fixed16ToFloat(value);
}

void TWaveAudioOut::SetPlaybackRate(double Value) {
  if (Value == FPlaybackRate) return;
  FPlaybackRate = Value;
  if (FHandle != nullptr && FOptions.Contains(woSetPlaybackRate) &&
      GetDeviceSupport().Contains(wsPlaybackRate)) {
    waveOutSetPlaybackRate(FHandle, FloatToFixed16(Value));
  }
}

void TWaveAudioOut::SetOptions(TWaveOutOptions Value) {
  if (Value == FOptions) return;
  FOptions = Value;
  if (FHandle != nullptr) ApplyOptions();
}

void TWaveAudioOut::ApplyOptions() {
  if (FOptions.Empty()) return;  // nothing to push: skip the capability query
  const TWaveOutSupport support = GetDeviceSupport();
  if (FOptions.Contains(woSetVolume) && support.Contains(wsVolume)) {
    waveOutSetVolume(FHandle, CombineVolume(FVolumeLeft, FVolumeRight));
  }
  if (FOptions.Contains(woSetPitch) && support.Contains(wsPitch)) {
    waveOutSetPitch(FHandle, FloatToFixed16(FPitch));
  }
  if (FOptions.Contains(woSetPlaybackRate) && support.Contains(wsPlaybackRate)) {
    waveOutSetPlaybackRate(FHandle, FloatToFixed16(FPlaybackRate));
  }
}

// ---------------------------------------------------------------- open, close, pause

void TWaveAudioOut::GetWaveFormat(const WAVEFORMATEX*& Format, bool& FreeIt) {
  Format = nullptr;
  FreeIt = false;
}

bool TWaveAudioOut::InternalOpen() {
  if (Opening()) return false;
  if (GetActive()) throw EWaveAudioInvalidOperation("Device is aleardy open");
  if (Closing()) WaitUntilClosed();

  TWaveDeviceLock lock(*this);
  if (!MoveState(TWaveDeviceEvent::kOpen)) return false;
  bool opened = false;
  try {
    opened = OpenDevice();
  } catch (...) {
    MoveState(TWaveDeviceEvent::kOpenFailed);
    throw;
  }
  MoveState(opened ? TWaveDeviceEvent::kOpened : TWaveDeviceEvent::kOpenFailed);
  return opened;
}

bool TWaveAudioOut::OpenDevice() {
  const WAVEFORMATEX* format = nullptr;
  bool freeIt = true;
  struct FreeFormat {
    const WAVEFORMATEX*& Format;
    bool& FreeIt;
    ~FreeFormat() {
      if (FreeIt && Format != nullptr) ::operator delete(const_cast<WAVEFORMATEX*>(Format));
    }
  } freeFormat{format, freeIt};

  GetWaveFormat(format, freeIt);
  if (format == nullptr) return Success(MMSYSERR_INVALPARAM);  // nothing to open with
  if (!Success(waveOutOpen(nullptr, DeviceID(), format, nullptr, 0, WAVE_FORMAT_QUERY))) {
    return false;
  }
  std::memcpy(&FDeviceFormat, format, 16);

  CreateCallback();
  try {
    if (Success(waveOutOpen(&FHandle, DeviceID(), format, CallbackTarget(), 0, CallbackType()))) {
      return true;
    }
  } catch (const Exception& e) {
    // A failed real open leaves the object inactive and raises nothing; the
    // play it was for ends here, and says so like a failure in the cycle.
    ReportAudioFailure(e.ClassName(), e.Message(), __builtin_return_address(0));
  } catch (...) {
    ReportAudioFailure("EWaveAudioSysError", "The sound output could not be opened",
                       __builtin_return_address(0));
  }
  FHandle = nullptr;
  ReleaseCallback();
  return false;
}

bool TWaveAudioOut::InternalClose() {
  if (Opening()) WaitUntilOpened();
  if (!GetActive()) throw EWaveAudioInvalidOperation("Device is aleardy close");

  TWaveDeviceLock lock(*this);
  if (!GetActive()) return false;  // closed meanwhile (thread mode)
  switch (State()) {
    case TWaveDeviceState::kGivingUp:
      GiveUp();
      return true;
    case TWaveDeviceState::kStalled:
      StopAgain();
      return true;
    default:
      return Stop();
  }
}

bool TWaveAudioOut::Stop() {
  // A stop or the close itself already under way: nothing to add. Data that
  // merely ended is no reason to wait: a paused device would never hand its
  // last buffers back.
  if (!MoveState(TWaveDeviceEvent::kStop)) return false;
  // With buffers queued the reset sends them all back and the last one
  // closes the device.
  const MMRESULT reset = FHandle != nullptr ? waveOutReset(FHandle) : MMSYSERR_NOERROR;
  bool closed = true;
  if (ActiveBufferCount() == 0) closed = CloseDevice(reset == MMSYSERR_NOERROR);
  // A failed reset leaves the stop under way: buffers the device returns
  // by itself are freed, and the wait's watchdog resets it again.
  if (reset != MMSYSERR_NOERROR) return Success(reset);
  return closed;
}

void TWaveAudioOut::StopAgain() {
  MoveState(TWaveDeviceEvent::kStop);
  if (ActiveBufferCount() > 0) waveOutReset(FHandle);
  if (ActiveBufferCount() == 0) CloseDevice(false);
}

void TWaveAudioOut::GiveUp() {
  AbandonChannelAndBuffers();
  DoWaveOutDeviceClose();
}

bool TWaveAudioOut::InternalPause() {
  if (FPaused) return false;
  TWaveDeviceLock lock(*this);
  if (FHandle != nullptr && !Success(waveOutPause(FHandle))) return false;
  FPaused = true;
  DoPause();
  return true;
}

bool TWaveAudioOut::InternalResume() {
  if (!FPaused) return false;
  TWaveDeviceLock lock(*this);
  if (FHandle != nullptr && !Success(waveOutRestart(FHandle))) return false;
  FPaused = false;
  NoteProgress();
  DoResume();
  return true;
}

void TWaveAudioOut::SetPosition(uint32_t Ms) {
  TWaveDeviceLock lock(*this);
  FStartPosition = Ms;
  if (FHandle != nullptr && !IsCloseSentState(State())) {
    // Data that had ended goes on from the new place.
    MoveState(TWaveDeviceEvent::kDataResumed);
    NoteProgress();
    waveOutReset(FHandle);
    FPaused = FPaused && waveOutPause(FHandle) == MMSYSERR_NOERROR;
  }
}

// ---------------------------------------------------------------- buffer cycle

void TWaveAudioOut::DoWaveOutDeviceOpen() {
  NoteProgress();
  // A close asked for before this notification already closed the handle.
  if (!Closing()) {
    ApplyOptions();
    FPaused = FPaused && waveOutPause(FHandle) == MMSYSERR_NOERROR;
  }
  DeviceOpened();
}

void TWaveAudioOut::DoWaveOutDeviceClose() {
  FHandle = nullptr;
  FStartPosition = 0;
  DeviceClosed();
}

bool TWaveAudioOut::CloseDevice(bool Report) {
  const TWaveDeviceState state = State();
  const bool mayClose = state == TWaveDeviceState::kDraining ||
                        state == TWaveDeviceState::kStopping || state == TWaveDeviceState::kStalled;
  if (!mayClose || FHandle == nullptr) return true;
  const MMRESULT result = waveOutClose(FHandle);
  // Only buffers still queued keep a device open; after any other failure
  // it is released all the same and its close notification is on its way.
  if (result != WAVERR_STILLPLAYING) MoveState(TWaveDeviceEvent::kCloseSent);
  // A handle that is no longer open sends nothing: the close is ours to say.
  if (result == MMSYSERR_INVALHANDLE) PostCallbackMessage(MM_WOM_CLOSE, 0);
  return Report ? Success(result) : result == MMSYSERR_NOERROR;
}

void TWaveAudioOut::StartBuffering() {
  if (ActiveBufferCount() == 0 && FHandle != nullptr && !Closing()) {
    PostCallbackMessage(MM_WOM_DONE, 0);  // the start message: no header
  }
}

void TWaveAudioOut::Refill(WAVEHDR*& Header, uint32_t& Loops) {
  if (!FBufferInternally) {
    RefillFromPointer(Header, Loops);
    return;
  }
  uint32_t n = 0;
  if (ReallocateBuffer(Header, CalcBufferSize(), nullptr)) {
    const int32_t got = GetWaveData(Header->lpData, Header->dwBufferLength, Loops);
    n = got < 0 ? 0 : static_cast<uint32_t>(got);  // a read error ends the data
    if (n < Header->dwBufferLength) ReallocateBuffer(Header, n, nullptr);
  }
  if (n == 0) MoveState(TWaveDeviceEvent::kDataEnded);
}

void TWaveAudioOut::RefillFromPointer(WAVEHDR*& Header, uint32_t& Loops) {
  void* data = nullptr;
  bool owned = true;
  bool silence = false;
  Loops = 0;
  const int32_t got = GetWaveDataPtr(data, Loops, owned);
  uint32_t n = got < 0 ? 0 : static_cast<uint32_t>(got);
  if (data == nullptr && n != 0) {
    // No block but a count: that many milliseconds of silence, unless
    // other buffers are still queued.
    silence = true;
    if (ActiveBufferCount() > 1) {
      n = 0;
    } else {
      owned = true;
      n = WaveBufferBytes(&FDeviceFormat, n);
    }
  }
  if (n == 0 && data != nullptr && owned) {
    std::free(data);  // handed over but not queued
    data = nullptr;
  }
  ReallocateBuffer(Header, n, data);
  if (Header != nullptr && owned) {
    AdoptBufferData(Header);
    if (silence) FillSilence(Header->lpData, n, &FDeviceFormat);
  }
  if (n == 0 && !silence) MoveState(TWaveDeviceEvent::kDataEnded);
}

void TWaveAudioOut::QueueRefilled(WAVEHDR*& Header, uint32_t Loops) {
  if (Loops != 0) {
    Header->dwFlags = WHDR_BEGINLOOP | WHDR_ENDLOOP;
    Header->dwLoops = Loops;
  }
  if (!QueueBuffer(Header)) {
    MoveState(TWaveDeviceEvent::kDataEnded);  // a buffer that cannot be queued ends the playback
    return;
  }
  if (ActiveBufferCount() < BufferCount()) PostCallbackMessage(MM_WOM_DONE, 0);
  Header = nullptr;  // queued: the device has it
}

void TWaveAudioOut::DoWaveOutDeviceDone(WAVEHDR* Header) {
  if (Header != nullptr) {
    // A header that is not ours: left behind by a device given up on.
    if (!HoldsBuffer(Header)) return;
    NoteProgress();
  }
  std::exception_ptr failure;
  bool surplus = false;
  try {
    if (Header != nullptr) Success(waveOutUnprepareHeader(FHandle, Header, kHeaderSize));
    // At least one buffer stays in flight whatever BufferCount says, so a
    // count of 0 or one lowered during playback cannot strand the cycle.
    surplus = !Closing() && ActiveBufferCount() > std::max<uint16_t>(BufferCount(), 1);
    if (!Closing() && !surplus) {
      uint32_t loops = 0;
      Refill(Header, loops);
      if (!Closing() && Header != nullptr) QueueRefilled(Header, loops);
    }
  } catch (...) {
    // Any failure in the cycle ends the playback; the failure itself is
    // passed on after the device has been told to close.
    failure = std::current_exception();
    MoveState(TWaveDeviceEvent::kDataEnded);
  }
  if ((Closing() || surplus) && Header != nullptr) {
    if (Header->dwFlags & WHDR_PREPARED) waveOutUnprepareHeader(FHandle, Header, kHeaderSize);
    ReallocateBuffer(Header, 0, nullptr);
  }
  // After a failure only the first one is reported.
  if (Closing() && ActiveBufferCount() == 0) CloseDevice(!failure);
  if (failure) std::rethrow_exception(failure);
}

bool TWaveAudioOut::QueueBuffer(WAVEHDR* Header) {
  const bool prepared = (Header->dwFlags & WHDR_PREPARED) != 0;
  if (!prepared && !Success(waveOutPrepareHeader(FHandle, Header, kHeaderSize))) return false;
  try {
    DoFilter(Header->lpData, Header->dwBufferLength);
    DoLevel(Header->lpData, Header->dwBufferLength);
    if (Success(waveOutWrite(FHandle, Header, kHeaderSize))) {
      NoteProgress();
      return true;
    }
  } catch (...) {
    if (!prepared) waveOutUnprepareHeader(FHandle, Header, kHeaderSize);
    throw;
  }
  if (!prepared) waveOutUnprepareHeader(FHandle, Header, kHeaderSize);
  return false;
}

bool TWaveAudioOut::WriteBuffer(void* Data, uint32_t Size, uint32_t Loops, bool Owned) {
  if (Size == 0 || Data == nullptr) return false;
  WAVEHDR* header = nullptr;
  if (!ReallocateBuffer(header, Size, Data)) return false;
  if (Owned) AdoptBufferData(header);
  if (Loops != 0) {
    header->dwFlags = WHDR_BEGINLOOP | WHDR_ENDLOOP;
    header->dwLoops = Loops;
  }
  bool queued = false;
  try {
    queued = QueueBuffer(header);
  } catch (...) {
    queued = false;
  }
  if (!queued) {
    ReallocateBuffer(header, 0, nullptr);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------- data sources

int32_t TWaveAudioOut::GetWaveData(void* Buffer, uint32_t Size, uint32_t& Loops) {
  (void)Buffer;
  (void)Size;
  (void)Loops;
  return 0;
}

int32_t TWaveAudioOut::GetWaveDataPtr(void*& Data, uint32_t& Loops, bool& Owned) {
  (void)Data;
  (void)Loops;
  (void)Owned;
  return 0;
}

}  // namespace tw
