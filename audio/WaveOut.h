#pragma once
// A wave output device object: opens the device for the format a subclass
// supplies, keeps up to BufferCount buffers of BufferLength ms queued,
// refills each one as the device hands it back, notices the end of the data
// and closes the device by itself after the last buffer has come back. Also
// pause/resume, position, volume, pitch and playback rate, device name and
// capabilities. The data comes from GetWaveData (BufferInternally, the
// default: the object owns the blocks) or GetWaveDataPtr (blocks handed out
// by the subclass), both empty here.
//
// The close rule. When the data ends the device is marked Closing and its
// last buffers play to their end; the last one to come back closes it. A
// stop (SetActive(false), destruction) is honoured in every state, also
// after the data has ended and while paused: it resets the device, so every
// buffer comes back at once and the close follows. SetPosition after the
// data has ended plays on from the new place (unless a stop is under way).
//
// Failures never leave a wait hanging: a failed write ends the playback and
// closes the device; a close that fails for any reason but buffers still
// queued has released the device all the same; a failed real open is
// reported on standard error (no exception, as before). A device that
// keeps its buffers StallTimeout ms past the end of their sound, or does not
// finish a stop in that time, is reported once on standard error and reset
// (the waits of TWaveAudioIO ask InternalClose again); after three such
// rounds without success it is given up: the object becomes inactive and
// leaves the buffers the device holds to it for the rest of the process
// (they are never freed under it).
//
// This object tells the state it shares with TWaveAudioIO what happened
// (MoveState) and uses its buffer headers, watchdog and channel; the base
// calls back only through the virtual operations of the device object.

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "audio/WaveIO.h"
#include "platform/WaveOutApi.h"

namespace tw {

// A set of up to eight enumerators, one byte wide.
template <typename E>
class TSmallSet {
 public:
  constexpr TSmallSet() = default;
  constexpr TSmallSet(std::initializer_list<E> Items) {
    for (E e : Items) Include(e);
  }
  constexpr bool Contains(E e) const { return (FBits >> static_cast<unsigned>(e)) & 1u; }
  constexpr void Include(E e) { FBits |= static_cast<uint8_t>(1u << static_cast<unsigned>(e)); }
  constexpr void Exclude(E e) { FBits &= static_cast<uint8_t>(~(1u << static_cast<unsigned>(e))); }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr uint8_t Bits() const { return FBits; }
  constexpr bool operator==(const TSmallSet&) const = default;

 private:
  uint8_t FBits = 0;
};

// What the object pushes to the open device.
enum TWaveOutOption : uint8_t { woSetVolume, woSetPitch, woSetPlaybackRate };
using TWaveOutOptions = TSmallSet<TWaveOutOption>;

// What the device can do.
enum TWaveOutSupportItem : uint8_t {
  wsVolume,
  wsLeftRightVolume,
  wsPitch,
  wsPlaybackRate,
  wsSampleAccurate,
  wsAsynchronous
};
using TWaveOutSupport = TSmallSet<TWaveOutSupportItem>;

// Device volume word (low 16 bits left, high 16 bits right, 0..65535) to
// percentages, rounded to nearest.
void SplitVolume(uint32_t Volume, uint16_t& Left, uint16_t& Right);
// Percentages to the device volume word; above 100 counts as 100.
uint32_t CombineVolume(uint16_t Left, uint16_t Right);
// 16.16 fixed point for 0 <= X < 65536: integer part high, fraction * 65536
// rounded down low.
uint32_t FloatToFixed16(double X);
// The high word as a signed integer plus the low word / 65536, exactly.
double Fixed16ToFloat(uint32_t Value);

class TWaveAudioOut : public TWaveAudioIO {
 public:
  explicit TWaveAudioOut(TComponent* Owner);
  ~TWaveAudioOut() override;

  const char* ClassName() const override { return "TWaveAudioOut"; }

  HWAVEOUT Handle() const { return FHandle; }

  // Mean of the two volumes (refreshed from the open device when it can).
  uint16_t Volume();
  void SetVolume(uint16_t Value);
  uint16_t VolumeLeft();
  void SetVolumeLeft(uint16_t Value);
  uint16_t VolumeRight();
  void SetVolumeRight(uint16_t Value);
  // The device's value while open (1.0 when it lacks the capability), the
  // stored value while closed.
  double Pitch();
  void SetPitch(double Value);
  double PlaybackRate();
  void SetPlaybackRate(double Value);
  TWaveOutOptions Options() const { return FOptions; }
  void SetOptions(TWaveOutOptions Value);
  bool BufferInternally() const { return FBufferInternally; }
  void SetBufferInternally(bool Value) { FBufferInternally = Value; }
  uint32_t Position() { return GetPosition(); }
  uint32_t StartPosition() const { return FStartPosition; }

  // Empty when the capability query fails.
  TWaveOutSupport GetDeviceSupport();

  bool GetPaused() override { return FPaused; }
  uint32_t GetNumDevs() override;
  std::string GetDeviceName() override;
  TPCMFormats GetDeviceFormats() override;
  uint32_t GetPosition() override;
  std::string GetErrorText(MMRESULT Code) override;
  MMRESULT ValidateDeviceID(uint32_t Id) override;
  bool IsFormatSupported(const WAVEFORMATEX& Format) override;

  // Refreshes Left/Right from the open device; false (untouched) otherwise.
  virtual bool GetDeviceVolume(uint16_t& Left, uint16_t& Right);
  // Pushes the volumes to the open device when woSetVolume is set; without
  // separate left/right volume both become their mean.
  virtual bool SetDeviceVolume(uint16_t& Left, uint16_t& Right);
  // Plays from Ms on: resets the open device so every buffer is refilled
  // from wherever the data source now reads (also after the data had ended,
  // unless a stop is under way). Runs under the device lock.
  virtual void SetPosition(uint32_t Ms);
  // Prepares, filters, reports the level and writes one header. False (or
  // the exception) on failure, with the header unprepared again.
  virtual bool QueueBuffer(WAVEHDR* Header);
  // Queues a caller's block directly. Owned: the object frees it (a
  // std::malloc block) with its header. False when it could not be queued.
  virtual bool WriteBuffer(void* Data, uint32_t Size, uint32_t Loops, bool Owned);
  // Fills Buffer with at most Size bytes and returns the count; 0 (or a
  // negative count, taken as a read error) ends the data.
  virtual int32_t GetWaveData(void* Buffer, uint32_t Size, uint32_t& Loops);
  // Hands out a block (Data), its loop count and whether the object owns it;
  // returns its size. No data with a non-zero result asks for that many ms
  // of silence; 0 ends the data.
  virtual int32_t GetWaveDataPtr(void*& Data, uint32_t& Loops, bool& Owned);

 protected:
  void DoWaveOutDeviceOpen() override;
  void DoWaveOutDeviceClose() override;
  void DoWaveOutDeviceDone(WAVEHDR* Header) override;
  void GetWaveFormat(const WAVEFORMATEX*& Format, bool& FreeIt) override;
  bool InternalOpen() override;
  bool InternalClose() override;
  bool InternalPause() override;
  bool InternalResume() override;
  bool HandleAllocated() override { return FHandle != nullptr; }
  void StartBuffering() override;
  void ApplyOptions();

  HWAVEOUT FHandle = nullptr;
  // Read without the lock by SetPaused (thread mode: the callback thread
  // applies a recorded pause when the device opens).
  std::atomic<bool> FPaused{false};
  uint16_t FVolumeLeft = 75;
  uint16_t FVolumeRight = 75;
  double FPitch = 1.0;
  double FPlaybackRate = 1.0;
  TWaveOutOptions FOptions;
  bool FBufferInternally = true;
  uint32_t FStartPosition = 0;

 private:
  // The open of InternalOpen once the state is Opening: the format, the
  // query, the callback and the real open. True when the device was opened;
  // false with nothing left open (the callback released).
  bool OpenDevice();
  // The stop of InternalClose: reset, and close at once when no buffer is
  // queued. False when a stop or the close is already under way.
  bool Stop();
  // The waits' recovery (state Stalled): the stop asked again, results
  // unreported (the next round tells whether this one worked).
  void StopAgain();
  // For a device given up on (state GivingUp): it keeps its buffers and
  // loses its way back; the object closes as if the device had said so.
  void GiveUp();
  // Refills Header for the cycle; marks the end of the data when it ends.
  void Refill(WAVEHDR*& Header, uint32_t& Loops);
  void RefillFromPointer(WAVEHDR*& Header, uint32_t& Loops);
  // Queues a refilled Header; marks the end of the data when it cannot.
  void QueueRefilled(WAVEHDR*& Header, uint32_t Loops);
  // waveOutClose once per open (only while draining or stopping): a start
  // message still queued behind a close must not close the handle a second
  // time.
  bool CloseDevice(bool Report);
};

}  // namespace tw
