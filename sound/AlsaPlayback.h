#pragma once
// The playback of one open ALSA PCM as a state machine: which phase the
// device is in (AlsaPhase), what each pass of the playback thread does in
// it, and every move between phases in one function (Enter).
//
// The machine is confined to the PCM's own thread: it alone calls into the
// PCM, through AlsaPcmCalls, so a call that blocks inside a plugin (a sound
// server that stopped answering) holds that thread only. It counts frames
// since the open or the last Restart: queued (given by the owner), written
// (handed to the device) and played (heard, by the device's delay).
//
// The device's end of a sound: a buffer is done when its last frame has been
// heard. Through a sound server's plugin the delay reaches 0 a little before
// the server has played the last frames, so the last buffer is held back
// until the plugin reports its underrun (or 20 ms have passed, then the
// device is drained); an underrun prepares the PCM again at once, off the
// next sound's path, while the frames the server still holds run out by the
// clock. New frames for a device that ran dry but still runs wait until it
// holds nothing (at most 50 ms), then it is restarted: a plugin takes new
// data late otherwise.

#include <alsa/asoundlib.h>
#include <poll.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tw {

// The calls the machine makes on an open, configured PCM: the real PCM
// through libasound, or a script in tests. Results as the snd_pcm_*
// function each stands for.
class AlsaPcmCalls {
 public:
  using Clock = std::chrono::steady_clock;
  virtual ~AlsaPcmCalls() = default;
  virtual snd_pcm_state_t State() = 0;
  virtual int Delay(snd_pcm_sframes_t& frames) = 0;
  virtual snd_pcm_sframes_t AvailUpdate() = 0;
  virtual snd_pcm_sframes_t Write(const void* data, snd_pcm_uframes_t frames) = 0;
  virtual int Prepare() = 0;
  virtual int Drop() = 0;
  // Returns once what the device holds has been played (a blocking drain).
  virtual int Drain() = 0;
  virtual int Pause(bool on) = 0;
  virtual int Resume() = 0;
  // The descriptors that say the device has room (up to `space` of them;
  // the count, or less than 0), and whether they say so after a poll.
  virtual int PollDescriptors(pollfd* fds, unsigned space) = 0;
  virtual bool PollSaysRoom(pollfd* fds, unsigned count) = 0;
  virtual Clock::time_point Now() { return Clock::now(); }
};

// What the machine knows of the PCM from its configuration.
struct AlsaPcmShape {
  unsigned rate = 0;
  unsigned frameBytes = 0;
  uint64_t bufferFrames = 0;  // the device's ring
  bool canPause = false;      // the device has a pause of its own
  bool serverPlugin = false;  // an I/O plugin, the kind in front of a sound server
};

// Where the frames to play come from: the owner's queue of buffers.
class AlsaFrameSource {
 public:
  virtual ~AlsaFrameSource() = default;
  // Copies up to `frames` frames from frame `from` on (within one buffer)
  // into `out`, the volume applied; returns how many. 0 when the queue was
  // reset or paused since the pass began: the pass then stops writing.
  virtual std::size_t TakeFrames(uint64_t from, std::size_t frames, char* out) = 0;
};

enum class AlsaPhase {
  kReady,       // prepared; nothing of ours is in the device
  kPlaying,     // frames written since the prepare; the device plays them
  kRunningOut,  // the device took all it was given; what it holds runs out by the clock
  kSettling,    // the delay says all was played; a plugin is given 20 ms to report its underrun
  kEmptied,     // the underrun came and the PCM is prepared again; the last frames still sound
  kWaitingToRestart,  // new frames wait (50 ms at most) until the ran-dry device holds nothing
  kPaused,            // the device's own pause holds what was written
  kBroken,            // the device takes no more data; every buffer counts as played
};

const char* AlsaPhaseName(AlsaPhase phase);

class AlsaPlayback {
 public:
  AlsaPlayback(AlsaPcmCalls& pcm, const AlsaPcmShape& shape);
  AlsaPlayback(const AlsaPlayback&) = delete;
  AlsaPlayback& operator=(const AlsaPlayback&) = delete;

  // What one pass leaves to the owner.
  struct Pass {
    uint64_t reached = 0;     // buffers ending at or before this frame are done
    bool again = false;       // a buffer is done, or the queue changed: pass again at once
    bool onDevice = false;    // else wait for room in the device (its descriptors) ...
    int64_t waitMicros = -1;  // ... or this long at most (-1: until woken)
  };

  // One pass over the frames queued so far (queuedEnd; the first unreported
  // buffer ends at frontEnd): hands the device what it takes, brings the
  // played count up to date and settles the end of the sound. While the
  // stream is paused only a broken device reports (everything).
  Pass Step(uint64_t queuedEnd, uint64_t frontEnd, bool paused, AlsaFrameSource& source);

  // The queue was reset: what the device still plays of it is dropped
  // (always with `drop`, else when frames are in flight or it is paused);
  // the counts start again at 0. A tail still sounding is left alone.
  void Restart(bool drop);
  // The stream pauses: the device's pause where it has one, else its frames
  // are dropped and written again from the first one not played.
  void Pause();
  void Resume();
  // Brings the played count up to date (a position asked for).
  void UpdatePlayed();

  AlsaPhase phase() const { return phase_; }
  uint64_t written() const { return written_; }
  uint64_t played() const { return played_; }
  // The error that broke the device (kBroken), else 0.
  int brokenBy() const { return brokenBy_; }

 private:
  enum class Pump { kDone, kDeviceFull, kWaiting, kStale };

  // The one place the phase changes; entering a phase stamps the time and,
  // for the two tails, how many frames were still to sound.
  void Enter(AlsaPhase next, uint64_t tailFrames = 0);
  bool Started() const;
  Pump PumpFrames(uint64_t queuedEnd, AlsaFrameSource& source);
  Pump RestartIfRanDry(uint64_t queuedEnd);
  Pump WriteFrames(uint64_t queuedEnd, AlsaFrameSource& source);
  uint64_t Held();
  bool Settle(Pump pump);
  uint64_t RunOut(uint64_t held);
  void Recover(int err);
  void DropFrames();
  void Finish();
  void Break(int err);
  uint64_t Reached(bool hold) const;
  int64_t ElapsedMicros() const;

  AlsaPcmCalls& pcm_;
  const AlsaPcmShape shape_;
  AlsaPhase phase_ = AlsaPhase::kReady;
  AlsaPcmCalls::Clock::time_point since_;  // when phase_ was entered
  uint64_t tailFrames_ = 0;                // kRunningOut, kEmptied: still to sound at since_
  uint64_t queuedEnd_ = 0;
  uint64_t written_ = 0;
  uint64_t played_ = 0;
  int brokenBy_ = 0;
  std::vector<char> staging_;  // the frames of one write, copied out of the queue
};

}  // namespace tw
