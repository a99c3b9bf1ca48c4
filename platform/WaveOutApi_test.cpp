#include "platform/WaveOutApi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "sound/NullCard.h"
#include "sound/Selection.h"
#include "testing/WaveOutTestSupport.h"

namespace tw {
namespace {

using testing::Buffer;
using testing::Notification;
using testing::PcmFormat;
using testing::RecordingTarget;

const WAVEFORMATEX kTone = PcmFormat(44100, 2, 16);

class WaveOutApiTest : public ::testing::Test {
 protected:
  void SetUp() override { SelectWaveOutput("null:fast"); }

  HWAVEOUT Open(const WAVEFORMATEX& format = kTone) {
    HWAVEOUT h = nullptr;
    EXPECT_EQ(waveOutOpen(&h, WAVE_MAPPER, &format, &target, 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
    return h;
  }
  MMRESULT Play(HWAVEOUT h, Buffer& b) {
    const MMRESULT r = waveOutPrepareHeader(h, &b.header, sizeof(WAVEHDR));
    return r != MMSYSERR_NOERROR ? r : waveOutWrite(h, &b.header, sizeof(WAVEHDR));
  }
  uint32_t PositionIn(HWAVEOUT h, uint32_t type) {
    MMTIME t{};
    t.wType = type;
    EXPECT_EQ(waveOutGetPosition(h, &t, sizeof t), MMSYSERR_NOERROR);
    EXPECT_EQ(t.wType, type);
    return t.u.ms;
  }

  RecordingTarget target;
};

TEST_F(WaveOutApiTest, OpenWriteCloseReportsEveryStepInOrder) {
  HWAVEOUT h = Open();
  ASSERT_NE(h, nullptr);
  Buffer a(400), b(800), c(0);
  EXPECT_EQ(Play(h, a), MMSYSERR_NOERROR);
  EXPECT_EQ(Play(h, b), MMSYSERR_NOERROR);
  EXPECT_EQ(Play(h, c), MMSYSERR_NOERROR);
  for (Buffer* x : {&a, &b, &c}) {
    EXPECT_EQ(x->header.dwFlags, WHDR_PREPARED | WHDR_DONE);
    EXPECT_EQ(waveOutUnprepareHeader(h, &x->header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(x->header.dwFlags, WHDR_DONE);
  }
  EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
  const std::vector<Notification> expected = {{MM_WOM_OPEN, 0},
                                              {MM_WOM_DONE, a.param()},
                                              {MM_WOM_DONE, b.param()},
                                              {MM_WOM_DONE, c.param()},
                                              {MM_WOM_CLOSE, 0}};
  EXPECT_EQ(target.Got(), expected);
}

TEST_F(WaveOutApiTest, QueryOpensNothingAndRefusesWhatCannotPlay) {
  EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &kTone, nullptr, 0, WAVE_FORMAT_QUERY),
            MMSYSERR_NOERROR);
  WAVEFORMATEX adpcm = kTone;
  adpcm.wFormatTag = 2;
  WAVEFORMATEX inconsistent = kTone;
  inconsistent.nAvgBytesPerSec = 0;
  WAVEFORMATEX twelveBits = PcmFormat(8000, 1, 12);
  for (const WAVEFORMATEX& bad : {adpcm, inconsistent, twelveBits}) {
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &bad, nullptr, 0, WAVE_FORMAT_QUERY),
              WAVERR_BADFORMAT);
    HWAVEOUT h = reinterpret_cast<HWAVEOUT>(&target);
    EXPECT_EQ(waveOutOpen(&h, WAVE_MAPPER, &bad, &target, 0, CALLBACK_WINDOW), WAVERR_BADFORMAT);
    EXPECT_EQ(h, nullptr);
  }
  EXPECT_EQ(target.Count(), 0u);
  char text[256];
  ASSERT_EQ(waveOutGetErrorText(WAVERR_BADFORMAT, text, sizeof text), MMSYSERR_NOERROR);
  EXPECT_EQ(std::string(text).rfind(
                "The null sound output cannot play 8000 Hz, 1 channel, 12-bit PCM (", 0),
            0u)
      << text;
  HWAVEOUT h = nullptr;
  EXPECT_EQ(waveOutOpen(&h, 1, &kTone, &target, 0, CALLBACK_WINDOW), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(waveOutOpen(&h, 0, nullptr, &target, 0, CALLBACK_WINDOW), MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveOutOpen(&h, 0, &kTone, &target, 0, 0x80000000u), MMSYSERR_INVALFLAG);
  EXPECT_EQ(waveOutOpen(nullptr, 0, &kTone, &target, 0, CALLBACK_WINDOW), MMSYSERR_INVALPARAM);
  EXPECT_EQ(target.Count(), 0u);
}

TEST_F(WaveOutApiTest, HeaderRulesGuardTheQueue) {
  HWAVEOUT h = Open();
  Buffer a(64);
  EXPECT_EQ(waveOutWrite(h, &a.header, sizeof(WAVEHDR)), WAVERR_UNPREPARED);
  EXPECT_EQ(waveOutPause(h), MMSYSERR_NOERROR);
  EXPECT_EQ(Play(h, a), MMSYSERR_NOERROR);
  EXPECT_EQ(a.header.dwFlags, WHDR_PREPARED | WHDR_INQUEUE);
  // A queued buffer can be neither unprepared, written again nor closed on.
  EXPECT_EQ(waveOutUnprepareHeader(h, &a.header, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
  EXPECT_EQ(waveOutWrite(h, &a.header, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
  EXPECT_EQ(waveOutClose(h), WAVERR_STILLPLAYING);
  EXPECT_EQ(waveOutRestart(h), MMSYSERR_NOERROR);
  EXPECT_EQ(a.header.dwFlags, WHDR_PREPARED | WHDR_DONE);
  // Written again: DONE is cleared until it comes back.
  EXPECT_EQ(waveOutPause(h), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutWrite(h, &a.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  EXPECT_EQ(a.header.dwFlags, WHDR_PREPARED | WHDR_INQUEUE);
  EXPECT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
  Buffer noData(0);
  noData.header.dwBufferLength = 10;
  noData.header.lpData = nullptr;
  h = Open();
  EXPECT_EQ(waveOutPrepareHeader(h, &noData.header, sizeof(WAVEHDR)), MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveOutPrepareHeader(h, &a.header, 8), MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveOutPrepareHeader(h, nullptr, sizeof(WAVEHDR)), MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveOutWrite(h, nullptr, sizeof(WAVEHDR)), MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

TEST_F(WaveOutApiTest, PauseHoldsBuffersAndResetReturnsThemAllBeforeReturning) {
  HWAVEOUT h = Open();
  Buffer a(400), b(400), c(400);
  EXPECT_EQ(Play(h, a), MMSYSERR_NOERROR);
  EXPECT_EQ(PositionIn(h, TIME_BYTES), 400u);
  EXPECT_EQ(waveOutPause(h), MMSYSERR_NOERROR);
  EXPECT_EQ(Play(h, b), MMSYSERR_NOERROR);
  EXPECT_EQ(Play(h, c), MMSYSERR_NOERROR);
  EXPECT_EQ(target.Count(), 2u);  // open, a
  EXPECT_EQ(PositionIn(h, TIME_BYTES), 400u);
  EXPECT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
  const std::vector<Notification> expected = {{MM_WOM_OPEN, 0},
                                              {MM_WOM_DONE, a.param()},
                                              {MM_WOM_DONE, b.param()},
                                              {MM_WOM_DONE, c.param()}};
  EXPECT_EQ(target.Got(), expected);
  EXPECT_EQ(PositionIn(h, TIME_BYTES), 0u);
  // Still paused after the reset: a new buffer waits for the restart.
  EXPECT_EQ(waveOutWrite(h, &a.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  EXPECT_EQ(target.Count(), 4u);
  EXPECT_EQ(waveOutRestart(h), MMSYSERR_NOERROR);
  EXPECT_EQ(target.Count(), 5u);
  EXPECT_EQ(PositionIn(h, TIME_BYTES), 400u);
  EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

TEST_F(WaveOutApiTest, ManyBuffersHeldByAPauseComeBackInOrder) {
  HWAVEOUT h = Open();
  std::vector<std::unique_ptr<Buffer>> buffers;
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(waveOutPause(h), MMSYSERR_NOERROR);
    for (int i = 0; i < 11; ++i) {
      buffers.push_back(std::make_unique<Buffer>(4));
      ASSERT_EQ(Play(h, *buffers.back()), MMSYSERR_NOERROR);
    }
    if (round == 0) {
      ASSERT_EQ(waveOutRestart(h), MMSYSERR_NOERROR);
    } else {
      ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
    }
  }
  const auto got = target.Got();
  ASSERT_EQ(got.size(), 1 + buffers.size());
  for (size_t i = 0; i < buffers.size(); ++i) EXPECT_EQ(got[i + 1].param, buffers[i]->param());
  EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

TEST_F(WaveOutApiTest, PositionAnswersInTheUnitAskedFor) {
  HWAVEOUT h = Open();
  Buffer second(176400 + 88200);  // 1.5 s
  EXPECT_EQ(Play(h, second), MMSYSERR_NOERROR);
  EXPECT_EQ(PositionIn(h, TIME_MS), 1500u);
  EXPECT_EQ(PositionIn(h, TIME_SAMPLES), 66150u);
  EXPECT_EQ(PositionIn(h, TIME_BYTES), 264600u);
  MMTIME t{};
  t.wType = TIME_SMPTE;
  EXPECT_EQ(waveOutGetPosition(h, &t, sizeof t), MMSYSERR_NOERROR);
  EXPECT_EQ(t.wType, TIME_SMPTE);
  EXPECT_EQ(t.u.smpte.sec, 1);
  EXPECT_EQ(t.u.smpte.frame, 15);
  EXPECT_EQ(t.u.smpte.fps, 30);
  t.wType = 0x20;  // a unit we do not keep
  EXPECT_EQ(waveOutGetPosition(h, &t, sizeof t), MMSYSERR_NOERROR);
  EXPECT_EQ(t.wType, TIME_BYTES);
  EXPECT_EQ(t.u.cb, 264600u);
  EXPECT_EQ(waveOutGetPosition(h, &t, 4), MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveOutGetPosition(h, nullptr, sizeof t), MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

TEST_F(WaveOutApiTest, VolumeIsStoredPitchAndRateAreNotOffered) {
  WAVEOUTCAPS caps{};
  ASSERT_EQ(waveOutGetDevCaps(WAVE_MAPPER, &caps, sizeof caps), MMSYSERR_NOERROR);
  EXPECT_EQ(caps.dwSupport & (WAVECAPS_VOLUME | WAVECAPS_LRVOLUME),
            WAVECAPS_VOLUME | WAVECAPS_LRVOLUME);
  EXPECT_EQ(caps.dwSupport & (WAVECAPS_PITCH | WAVECAPS_PLAYBACKRATE | WAVECAPS_SYNC), 0u);
  EXPECT_EQ(caps.dwFormats, 0x0FFFu);
  EXPECT_STREQ(caps.szPname, "Tonewell null output (fast)");
  EXPECT_EQ(waveOutGetNumDevs(), 1u);

  HWAVEOUT h = Open();
  uint32_t volume = 0;
  EXPECT_EQ(waveOutGetVolume(h, &volume), MMSYSERR_NOERROR);
  EXPECT_EQ(volume, 0xFFFFFFFFu);
  EXPECT_EQ(waveOutSetVolume(h, 0x1234BFFFu), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutGetVolume(h, &volume), MMSYSERR_NOERROR);
  EXPECT_EQ(volume, 0x1234BFFFu);
  uint32_t value = 0;
  EXPECT_EQ(waveOutGetPitch(h, &value), MMSYSERR_NOTSUPPORTED);
  EXPECT_EQ(waveOutSetPitch(h, 0x10000), MMSYSERR_NOTSUPPORTED);
  EXPECT_EQ(waveOutGetPlaybackRate(h, &value), MMSYSERR_NOTSUPPORTED);
  EXPECT_EQ(waveOutSetPlaybackRate(h, 0x10000), MMSYSERR_NOTSUPPORTED);
  EXPECT_EQ(waveOutGetVolume(h, nullptr), MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
  // Volume lives with the device: a new open starts at full volume.
  h = Open();
  EXPECT_EQ(waveOutGetVolume(h, &volume), MMSYSERR_NOERROR);
  EXPECT_EQ(volume, 0xFFFFFFFFu);
  EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutGetDevCaps(3, &caps, sizeof caps), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(waveOutGetDevCaps(0, nullptr, sizeof caps), MMSYSERR_INVALPARAM);
}

TEST_F(WaveOutApiTest, HandlesThatNameNoOpenDeviceAreRefused) {
  HWAVEOUT closed = Open();
  ASSERT_EQ(waveOutClose(closed), MMSYSERR_NOERROR);
  int local = 0;
  Buffer b(16);
  MMTIME t{};
  uint32_t v = 0;
  for (HWAVEOUT h : {HWAVEOUT{}, closed, reinterpret_cast<HWAVEOUT>(&local),
                     reinterpret_cast<HWAVEOUT>(reinterpret_cast<char*>(closed) + 1)}) {
    EXPECT_EQ(waveOutClose(h), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutPrepareHeader(h, &b.header, sizeof(WAVEHDR)), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutUnprepareHeader(h, &b.header, sizeof(WAVEHDR)), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutWrite(h, &b.header, sizeof(WAVEHDR)), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutReset(h), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutPause(h), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutRestart(h), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutGetPosition(h, &t, sizeof t), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutGetVolume(h, &v), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutSetVolume(h, v), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutGetPitch(h, &v), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutSetPlaybackRate(h, v), MMSYSERR_INVALHANDLE);
  }
  EXPECT_EQ(b.header.dwFlags, 0u);

  // A handle kept after its close does not reach the devices opened next.
  HWAVEOUT stale = Open();
  ASSERT_EQ(waveOutClose(stale), MMSYSERR_NOERROR);
  std::vector<HWAVEOUT> later;
  for (int i = 0; i < 8; ++i) later.push_back(Open());
  EXPECT_EQ(waveOutClose(stale), MMSYSERR_INVALHANDLE);
  for (HWAVEOUT h : later) EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

TEST_F(WaveOutApiTest, ErrorTextsAreOurOwnPerCode) {
  char text[256];
  for (MMRESULT code :
       {MMSYSERR_NOERROR, MMSYSERR_ERROR, MMSYSERR_BADDEVICEID, MMSYSERR_INVALHANDLE,
        MMSYSERR_NOMEM, MMSYSERR_NOTSUPPORTED, MMSYSERR_INVALPARAM, WAVERR_BADFORMAT,
        WAVERR_STILLPLAYING, WAVERR_UNPREPARED}) {
    ASSERT_EQ(waveOutGetErrorText(code, text, sizeof text), MMSYSERR_NOERROR) << code;
    EXPECT_GT(std::strlen(text), 5u) << code;
  }
  ASSERT_EQ(waveOutGetErrorText(WAVERR_STILLPLAYING, text, sizeof text), MMSYSERR_NOERROR);
  EXPECT_STREQ(text, "Buffers are still queued on the sound output.");
  EXPECT_EQ(waveOutGetErrorText(12345, text, sizeof text), MMSYSERR_BADERRNUM);
  EXPECT_STREQ(text, "");
  ASSERT_EQ(waveOutGetErrorText(WAVERR_STILLPLAYING, text, 4), MMSYSERR_NOERROR);
  EXPECT_STREQ(text, "Buf");
  EXPECT_EQ(waveOutGetErrorText(WAVERR_BADFORMAT, nullptr, 4), MMSYSERR_INVALPARAM);
}

// A sound system whose every step the test controls: buffers come back only
// when the test says so, from a thread of its own.
class ScriptedBackend : public WaveOutBackend {
 public:
  struct Stream : WaveOutStream {
    Stream(WaveOutSink& s, int& l) : sink(s), live(l) { ++live; }
    ~Stream() override { --live; }
    MMRESULT Write(WAVEHDR* h) override {
      std::lock_guard<std::mutex> lock(mutex);
      queued.push_back(h);
      return MMSYSERR_NOERROR;
    }
    MMRESULT Reset() override {
      std::vector<WAVEHDR*> all;
      {
        std::lock_guard<std::mutex> lock(mutex);
        all.swap(queued);
      }
      for (WAVEHDR* h : all) sink.BufferDone(h);
      return MMSYSERR_NOERROR;
    }
    MMRESULT Pause() override { return MMSYSERR_NOERROR; }
    MMRESULT Restart() override { return MMSYSERR_NOERROR; }
    MMRESULT GetPosition(uint64_t& frames) override {
      frames = 0;
      return MMSYSERR_NOERROR;
    }
    MMRESULT GetVolume(uint32_t&) override { return MMSYSERR_NOTSUPPORTED; }
    MMRESULT SetVolume(uint32_t) override { return MMSYSERR_NOTSUPPORTED; }
    MMRESULT Close() override {
      std::lock_guard<std::mutex> lock(mutex);
      return queued.empty() ? MMSYSERR_NOERROR : WAVERR_STILLPLAYING;
    }
    // Finishes the oldest buffer on a thread of the sound system's own.
    void FinishOneElsewhere() {
      std::thread([this] {
        WAVEHDR* h;
        {
          std::lock_guard<std::mutex> lock(mutex);
          h = queued.front();
          queued.erase(queued.begin());
        }
        sink.BufferDone(h);
      }).join();
    }
    WaveOutSink& sink;
    int& live;
    std::mutex mutex;
    std::vector<WAVEHDR*> queued;
  };

  MMRESULT GetCaps(WAVEOUTCAPS& caps) override {
    caps = WAVEOUTCAPS{};
    caps.dwSupport = WAVECAPS_PITCH | WAVECAPS_PLAYBACKRATE | WAVECAPS_VOLUME;
    return MMSYSERR_NOERROR;
  }
  MMRESULT Query(const WAVEFORMATEX&) override { return MMSYSERR_NOERROR; }
  MMRESULT Open(const WAVEFORMATEX&, WaveOutSink& sink,
                std::unique_ptr<WaveOutStream>& stream) override {
    if (refuseOpen) return MMSYSERR_ALLOCATED;
    auto s = std::make_unique<Stream>(sink, live);
    last = s.get();
    stream = std::move(s);
    return MMSYSERR_NOERROR;
  }
  std::string ErrorText(MMRESULT code) override {
    return code == MMSYSERR_ALLOCATED ? "scripted card is busy" : "";
  }

  bool refuseOpen = false;
  Stream* last = nullptr;
  int live = 0;  // streams opened and not yet released
};

TEST_F(WaveOutApiTest, BuffersFinishedOnAnotherThreadComeBackInOrderBeforeTheClose) {
  auto owned = std::make_unique<ScriptedBackend>();
  ScriptedBackend* backend = owned.get();
  UseWaveOutBackend(std::move(owned));
  HWAVEOUT h = Open();
  Buffer a(10), b(10), c(10);
  ASSERT_EQ(Play(h, a), MMSYSERR_NOERROR);
  ASSERT_EQ(Play(h, b), MMSYSERR_NOERROR);
  ASSERT_EQ(Play(h, c), MMSYSERR_NOERROR);
  backend->last->FinishOneElsewhere();
  EXPECT_EQ(a.header.dwFlags, WHDR_PREPARED | WHDR_DONE);
  EXPECT_EQ(b.header.dwFlags, WHDR_PREPARED | WHDR_INQUEUE);
  EXPECT_EQ(waveOutClose(h), WAVERR_STILLPLAYING);
  EXPECT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
  EXPECT_EQ(backend->live, 1);
  EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
  EXPECT_EQ(backend->live, 0);  // the close released the sound system's stream
  const std::vector<Notification> expected = {{MM_WOM_OPEN, 0},
                                              {MM_WOM_DONE, a.param()},
                                              {MM_WOM_DONE, b.param()},
                                              {MM_WOM_DONE, c.param()},
                                              {MM_WOM_CLOSE, 0}};
  EXPECT_EQ(target.Got(), expected);

  // The caps never claim pitch or rate: no device of ours adjusts them.
  WAVEOUTCAPS caps{};
  ASSERT_EQ(waveOutGetDevCaps(0, &caps, sizeof caps), MMSYSERR_NOERROR);
  EXPECT_EQ(caps.dwSupport, WAVECAPS_VOLUME);

  // A refused open posts nothing and the backend's own text explains it.
  backend->refuseOpen = true;
  HWAVEOUT refused = nullptr;
  EXPECT_EQ(waveOutOpen(&refused, 0, &kTone, &target, 0, CALLBACK_WINDOW), MMSYSERR_ALLOCATED);
  EXPECT_EQ(refused, nullptr);
  EXPECT_EQ(target.Count(), expected.size());
  char text[256];
  ASSERT_EQ(waveOutGetErrorText(MMSYSERR_ALLOCATED, text, sizeof text), MMSYSERR_NOERROR);
  EXPECT_STREQ(text, "scripted card is busy");
}

TEST_F(WaveOutApiTest, OpenDevicesKeepTheirSoundSystemWhenAnotherIsSelected) {
  HWAVEOUT fast = Open();
  UseWaveOutBackend(std::make_unique<ScriptedBackend>());
  Buffer a(10);
  ASSERT_EQ(Play(fast, a), MMSYSERR_NOERROR);
  EXPECT_EQ(a.header.dwFlags, WHDR_PREPARED | WHDR_DONE);  // the fast null card finished it
  EXPECT_EQ(waveOutClose(fast), MMSYSERR_NOERROR);
}

TEST(WaveOutSelectionTest, EveryAcceptedFormSelectsOrSaysWhatIsMissing) {
  auto nameOf = [] {
    WAVEOUTCAPS caps{};
    EXPECT_EQ(waveOutGetDevCaps(WAVE_MAPPER, &caps, sizeof caps), MMSYSERR_NOERROR);
    return std::string(caps.szPname);
  };
  SelectWaveOutput("null");
  EXPECT_EQ(nameOf(), "Tonewell null output");
  SelectWaveOutput("null:fast");
  EXPECT_EQ(nameOf(), "Tonewell null output (fast)");
  for (const char* unknown : {"nul", "null:slow", "wav:", "WAV:x", " null"}) {
    try {
      SelectWaveOutput(unknown);
      ADD_FAILURE() << unknown << " was accepted";
    } catch (const EAudioSettingError& e) {
      EXPECT_STREQ(e.ClassName(), "EAudioSettingError");
      const std::string message = e.what();
      EXPECT_NE(message.find("Unknown TONEWELL_AUDIO value \"" + std::string(unknown) + "\""),
                std::string::npos)
          << message;
      EXPECT_NE(message.find("null:fast"), std::string::npos) << message;
      EXPECT_NE(message.find("wav:PATH"), std::string::npos) << message;
    }
  }
  // The failed selections left the last good one in place.
  EXPECT_EQ(nameOf(), "Tonewell null output (fast)");
}

TEST(WaveOutSelectionTest, NothingInstalledIsNoDriverUntilASoundSystemIsSelected) {
  UseWaveOutBackend(nullptr);
  EXPECT_EQ(waveOutGetNumDevs(), 0u);
  const WAVEFORMATEX format = kTone;
  EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &format, nullptr, 0, WAVE_FORMAT_QUERY),
            MMSYSERR_NODRIVER);
  WAVEOUTCAPS caps{};
  EXPECT_EQ(waveOutGetDevCaps(0, &caps, sizeof caps), MMSYSERR_NODRIVER);

  ASSERT_EQ(setenv("TONEWELL_AUDIO", "null:fast", 1), 0);
  SelectWaveOutputFromEnvironment();
  unsetenv("TONEWELL_AUDIO");
  EXPECT_EQ(waveOutGetNumDevs(), 1u);
  EXPECT_EQ(waveOutGetDevCaps(0, &caps, sizeof caps), MMSYSERR_NOERROR);
  EXPECT_STREQ(caps.szPname, "Tonewell null output (fast)");
}

}  // namespace
}  // namespace tw

namespace tw {
namespace {

// Plays like the device object in thread mode: a thread of its own takes
// the notifications and refills each returned buffer until `total` buffers
// have played, then closes; meanwhile the test's thread keeps asking for the
// position and setting the volume on the same handle.
class RefillingPlayer : public NotifyTarget {
 public:
  RefillingPlayer(int total, uint32_t bytes) : total_(total), a_(bytes), b_(bytes) {
    worker_ = std::thread([this] { Serve(); });
  }
  ~RefillingPlayer() override {
    Post(WM_QUIT, 0);
    worker_.join();
  }
  bool Post(uint32_t message, uintptr_t param) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back({message, param});
    }
    ready_.notify_one();
    return true;
  }
  std::atomic<HWAVEOUT> handle{nullptr};
  std::atomic<bool> closed{false};
  std::atomic<int> played{0};
  std::atomic<int> failures{0};

 private:
  void Serve() {
    for (;;) {
      Notification n;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [&] { return !queue_.empty(); });
        n = queue_.front();
        queue_.erase(queue_.begin());
      }
      if (n.message == WM_QUIT) return;
      if (n.message == MM_WOM_CLOSE) closed = true;
      // The open may still be returning on the other thread: wait for its handle.
      while (n.message != MM_WOM_CLOSE && handle.load() == nullptr) std::this_thread::yield();
      const HWAVEOUT h = handle.load();
      if (n.message == MM_WOM_OPEN) {
        for (Buffer* b : {&a_, &b_}) Queue(h, &b->header);
        queued_ = 2;
      } else if (n.message == MM_WOM_DONE) {
        auto* header = reinterpret_cast<WAVEHDR*>(n.param);
        if ((header->dwFlags & WHDR_DONE) == 0) ++failures;
        ++played;
        if (queued_ < total_) {
          Queue(h, header);
          ++queued_;
        } else if (played == total_) {
          for (Buffer* b : {&a_, &b_}) {
            if (waveOutUnprepareHeader(h, &b->header, sizeof(WAVEHDR)) != 0) ++failures;
          }
          if (waveOutClose(h) != 0) ++failures;
        }
      }
    }
  }
  void Queue(HWAVEOUT h, WAVEHDR* header) {
    if ((header->dwFlags & WHDR_PREPARED) == 0 &&
        waveOutPrepareHeader(h, header, sizeof(WAVEHDR)) != 0) {
      ++failures;
    }
    if (waveOutWrite(h, header, sizeof(WAVEHDR)) != 0) ++failures;
  }

  const int total_;
  int queued_ = 0;
  Buffer a_, b_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<Notification> queue_;
  std::thread worker_;
};

class RefillTest : public ::testing::TestWithParam<const char*> {};

TEST_P(RefillTest, AnotherThreadRefillsAndClosesWhileThisOneQueriesTheDevice) {
  SelectWaveOutput(GetParam());
  const WAVEFORMATEX format = PcmFormat(44100, 2, 16);
  RefillingPlayer player(200, 176);  // 200 buffers of 1 ms
  HWAVEOUT h = nullptr;
  ASSERT_EQ(waveOutOpen(&h, WAVE_MAPPER, &format, &player, 0, CALLBACK_THREAD), 0u);
  player.handle = h;
  uint32_t lastMs = 0;
  while (!player.closed) {
    MMTIME t{};
    t.wType = TIME_MS;
    const MMRESULT r = waveOutGetPosition(h, &t, sizeof t);
    if (r == MMSYSERR_NOERROR) {
      EXPECT_GE(t.u.ms, lastMs);  // the position never runs backwards
      lastMs = t.u.ms;
    } else {
      EXPECT_EQ(r, MMSYSERR_INVALHANDLE);  // only once the close is under way
    }
    waveOutSetVolume(h, 0x80008000u);
    std::this_thread::yield();
  }
  EXPECT_EQ(player.played, 200);
  EXPECT_EQ(player.failures, 0);
  EXPECT_EQ(waveOutClose(h), MMSYSERR_INVALHANDLE);
  SelectWaveOutput("null:fast");
}

INSTANTIATE_TEST_SUITE_P(WaveOutApi, RefillTest, ::testing::Values("null", "null:fast"));

}  // namespace
}  // namespace tw
