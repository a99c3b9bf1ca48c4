#pragma once
// The wave output functions the output device object calls. They keep the
// contract of the device model it was written for: every call returns a
// result code (0 for success); a real open sends MM_WOM_OPEN, every buffer
// written comes back with MM_WOM_DONE (param = the WAVEHDR*) once played, and
// a close sends MM_WOM_CLOSE, all posted to the callback in the order the
// device produced them. Which sound system plays is the one installed last
// (UseWaveOutBackend; the program installs the one TONEWELL_AUDIO names,
// see sound/Selection.h).

#include <cstdint>
#include <memory>

#include "platform/mmsystem.h"
#include "sound/Backend.h"

namespace tw {

// Where an open device posts its notifications. Post may be called from any
// thread and must not block on the receiver; it returns false when the
// target no longer accepts messages.
class NotifyTarget {
 public:
  virtual ~NotifyTarget() = default;
  virtual bool Post(uint32_t message, uintptr_t param) = 0;
};

struct WaveOutDevice;
using HWAVEOUT = WaveOutDevice*;

// flags: WAVE_FORMAT_QUERY asks whether the format could be opened (handle
// and callback may be null, nothing is opened); otherwise CALLBACK_WINDOW or
// CALLBACK_THREAD tells how the callback is served (informative only here).
// deviceId: WAVE_MAPPER or 0, the one output of the selected sound system.
MMRESULT waveOutOpen(HWAVEOUT* handle, uint32_t deviceId, const WAVEFORMATEX* format,
                     NotifyTarget* callback, uintptr_t instance, uint32_t flags);
MMRESULT waveOutClose(HWAVEOUT handle);
MMRESULT waveOutPrepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t size);
MMRESULT waveOutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t size);
MMRESULT waveOutWrite(HWAVEOUT handle, WAVEHDR* header, uint32_t size);
MMRESULT waveOutReset(HWAVEOUT handle);
MMRESULT waveOutPause(HWAVEOUT handle);
MMRESULT waveOutRestart(HWAVEOUT handle);
MMRESULT waveOutGetPosition(HWAVEOUT handle, MMTIME* time, uint32_t size);
MMRESULT waveOutGetVolume(HWAVEOUT handle, uint32_t* volume);
MMRESULT waveOutSetVolume(HWAVEOUT handle, uint32_t volume);
MMRESULT waveOutGetPitch(HWAVEOUT handle, uint32_t* pitch);
MMRESULT waveOutSetPitch(HWAVEOUT handle, uint32_t pitch);
MMRESULT waveOutGetPlaybackRate(HWAVEOUT handle, uint32_t* rate);
MMRESULT waveOutSetPlaybackRate(HWAVEOUT handle, uint32_t rate);
MMRESULT waveOutGetDevCaps(uint32_t deviceId, WAVEOUTCAPS* caps, uint32_t size);
uint32_t waveOutGetNumDevs();
MMRESULT waveOutGetErrorText(MMRESULT code, char* text, uint32_t size);

// Makes the functions above use this sound system from now on (the
// selection and tests install theirs this way). Devices already open keep
// theirs. Until one is installed, opens and queries answer MMSYSERR_NODRIVER
// and waveOutGetNumDevs 0.
void UseWaveOutBackend(std::unique_ptr<WaveOutBackend> backend);

}  // namespace tw
