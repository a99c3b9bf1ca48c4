// The winmm backend against the system's own waveOut device. Without a sound
// device (Wine with no sound configured) the tests are skipped. With
// TONEWELL_WINMM_CAPTURE naming the file that receives what the device plays
// (Wine's ALSA output made a file plugin, as CI sets it up), the sound
// itself is compared too.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/WaveOutApi.h"
#include "sound/Selection.h"
#include "sound/Winmm.h"
#include "testing/WaveOutTestSupport.h"

namespace tw {
namespace {

using testing::Buffer;
using testing::Notification;
using testing::PcmFormat;
using testing::RecordingTarget;

class WinmmOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::unique_ptr<WaveOutBackend> backend = CreateWinmmWaveOutBackend();
    WAVEOUTCAPS caps{};
    if (backend->GetCaps(caps) != MMSYSERR_NOERROR) {
      GTEST_SKIP() << "no sound device: " << backend->ErrorText(MMSYSERR_BADDEVICEID);
    }
    UseWaveOutBackend(std::move(backend));
  }
  void TearDown() override { SelectWaveOutput("null:fast"); }

  // Opens, writes the buffers, waits until all are reported, closes.
  void Play(const WAVEFORMATEX& format, const std::vector<Buffer*>& buffers) {
    RecordingTarget target;
    HWAVEOUT h = nullptr;
    ASSERT_EQ(waveOutOpen(&h, WAVE_MAPPER, &format, &target, 0, CALLBACK_WINDOW), 0u);
    uint64_t frames = 0;
    for (Buffer* b : buffers) {
      ASSERT_EQ(waveOutPrepareHeader(h, &b->header, sizeof(WAVEHDR)), 0u);
      ASSERT_EQ(waveOutWrite(h, &b->header, sizeof(WAVEHDR)), 0u);
    }
    for (size_t i = 0; i < buffers.size(); ++i) {
      ASSERT_TRUE(target.WaitFor(2 + i)) << "buffer " << i << " never reported";
      EXPECT_EQ(target.Got()[1 + i], (Notification{MM_WOM_DONE, buffers[i]->param()}))
          << "in the order written";
      // Reported once the device has played it to its last frame.
      frames += buffers[i]->header.dwBufferLength / format.nBlockAlign;
      MMTIME time{};
      time.wType = TIME_SAMPLES;
      ASSERT_EQ(waveOutGetPosition(h, &time, sizeof time), 0u);
      EXPECT_GE(time.u.sample, frames) << "buffer " << i << " reported before it was played";
    }
    for (Buffer* b : buffers) ASSERT_EQ(waveOutUnprepareHeader(h, &b->header, sizeof(WAVEHDR)), 0u);
    ASSERT_EQ(waveOutClose(h), 0u);
    EXPECT_EQ(target.Got().back(), (Notification{MM_WOM_CLOSE, 0}));
  }
};

// The non-silent 4-byte frames of a file, in order.
std::vector<std::string> SoundFrames(const std::string& bytes) {
  std::vector<std::string> frames;
  for (size_t at = 0; at + 4 <= bytes.size(); at += 4) {
    if (bytes.compare(at, 4, std::string(4, '\0')) != 0) frames.push_back(bytes.substr(at, 4));
  }
  return frames;
}

TEST_F(WinmmOutputTest, TonesArePlayedInOrderAndReportedOncePlayed) {
  const WAVEFORMATEX tone = PcmFormat(44100, 2, 16);
  Buffer a(2000, 1), b(4000, 2), c(400, 3);
  Play(tone, {&a, &b});
  Play(tone, {&c});  // the device kept from the first open
  Buffer d(2000, 4);
  Play(tone, {&d});
  const char* capture = std::getenv("TONEWELL_WINMM_CAPTURE");
  if (capture == nullptr) return;
  SelectWaveOutput("null:fast");  // the device closes for real: all of it is out
  std::ifstream in(capture, std::ios::binary);
  const std::string heard{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::string sent;
  for (Buffer* x : {&a, &b, &c, &d}) sent.append(x->data.begin(), x->data.end());
  const std::vector<std::string> want = SoundFrames(sent);
  const std::vector<std::string> got = SoundFrames(heard);
  ASSERT_GE(got.size(), want.size()) << "every frame reached the device";
  // What an earlier test played may come first; ours are the last ones.
  EXPECT_TRUE(std::equal(want.begin(), want.end(), got.end() - want.size()));
}

TEST_F(WinmmOutputTest, ResetReturnsEveryBufferAtOnceAndPauseHoldsThePosition) {
  const WAVEFORMATEX tone = PcmFormat(44100, 2, 16);
  RecordingTarget target;
  HWAVEOUT h = nullptr;
  ASSERT_EQ(waveOutOpen(&h, WAVE_MAPPER, &tone, &target, 0, CALLBACK_WINDOW), 0u);
  Buffer a(176400, 1), b(176400, 2);  // two seconds
  for (Buffer* x : {&a, &b}) {
    ASSERT_EQ(waveOutPrepareHeader(h, &x->header, sizeof(WAVEHDR)), 0u);
    ASSERT_EQ(waveOutWrite(h, &x->header, sizeof(WAVEHDR)), 0u);
  }
  ASSERT_EQ(waveOutPause(h), 0u);
  // What the system had already handed on when the pause came (a period or
  // two) still plays; then the position stands.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  MMTIME before{}, after{};
  before.wType = after.wType = TIME_SAMPLES;
  ASSERT_EQ(waveOutGetPosition(h, &before, sizeof before), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  ASSERT_EQ(waveOutGetPosition(h, &after, sizeof after), 0u);
  EXPECT_EQ(after.u.sample, before.u.sample) << "paused";
  EXPECT_LT(after.u.sample, 88200u);
  EXPECT_EQ(target.Count(), 1u) << "nothing reported while paused";
  ASSERT_EQ(waveOutReset(h), 0u);
  ASSERT_EQ(target.Count(), 3u) << "both buffers back when the reset returns";
  EXPECT_EQ(target.Got()[1], (Notification{MM_WOM_DONE, a.param()}));
  EXPECT_EQ(target.Got()[2], (Notification{MM_WOM_DONE, b.param()}));
  ASSERT_EQ(waveOutGetPosition(h, &after, sizeof after), 0u);
  EXPECT_EQ(after.u.sample, 0u);
  ASSERT_EQ(waveOutRestart(h), 0u);
  for (Buffer* x : {&a, &b}) ASSERT_EQ(waveOutUnprepareHeader(h, &x->header, sizeof(WAVEHDR)), 0u);
  ASSERT_EQ(waveOutClose(h), 0u);
}

TEST_F(WinmmOutputTest, TheDeviceAndItsRefusalsAreTheSystems) {
  WAVEOUTCAPS caps{};
  ASSERT_EQ(waveOutGetDevCaps(WAVE_MAPPER, &caps, sizeof caps), 0u);
  EXPECT_NE(caps.szPname[0], '\0');
  EXPECT_NE(caps.dwFormats & WAVE_FORMAT_4S16, 0u) << "44100 Hz stereo 16-bit, the tones' format";
  EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &(const WAVEFORMATEX&)PcmFormat(44100, 2, 16),
                        nullptr, 0, WAVE_FORMAT_QUERY),
            0u);
  WAVEFORMATEX foreign = PcmFormat(44100, 2, 16);
  foreign.wFormatTag = 0x1234;  // no such codec
  const MMRESULT refused =
      waveOutOpen(nullptr, WAVE_MAPPER, &foreign, nullptr, 0, WAVE_FORMAT_QUERY);
  EXPECT_EQ(refused, WAVERR_BADFORMAT);
  char text[256];
  ASSERT_EQ(waveOutGetErrorText(refused, text, sizeof text), 0u);
  EXPECT_EQ(std::string(text).rfind("Windows sound output: ", 0), 0u) << text;
  EXPECT_GT(std::string(text).size(), 24u) << "with the system's own text";
}

}  // namespace
}  // namespace tw
