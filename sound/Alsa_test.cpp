#include "sound/Alsa.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/WaveOutApi.h"
#include "sound/Selection.h"
#include "testing/TestWatchdog.h"
#include "testing/WaveOutTestSupport.h"

namespace tw {
namespace {

using tw::testing::PcmFormat;
using tw::testing::RecordingSink;

// Runs every test on the project's ALSA setup without sound hardware: the
// "default" PCM writes what it is given to a capture file and discards it.
// Set before ALSA is first used in the process, and per test for the file.
class AlsaOnCaptureFile : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("ALSA_CONFIG_PATH", TONEWELL_SOURCE_DIR "/sound/testdata/alsa-capture.conf", 1);
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    capture_ = ::testing::TempDir() + "tonewell_alsa_" + info->name() + "_" +
               std::to_string(getpid()) + ".raw";
    std::remove(capture_.c_str());
    setenv("TONEWELL_ALSA_CAPTURE", capture_.c_str(), 1);
  }
  void TearDown() override { std::remove(capture_.c_str()); }

  std::vector<char> Captured() const {
    std::ifstream in(capture_, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
  }

  std::string capture_;
};

const WAVEFORMATEX kStereo16 = PcmFormat(44100, 2, 16);

// A buffer of 16-bit stereo frames whose samples count up from first.
struct Buffer {
  Buffer(size_t frames, int16_t first) : samples(frames * 2) {
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(first + i);
    header.lpData = reinterpret_cast<char*>(samples.data());
    header.dwBufferLength = static_cast<uint32_t>(samples.size() * 2);
  }
  std::vector<char> Bytes() const {
    const char* p = reinterpret_cast<const char*>(samples.data());
    return std::vector<char>(p, p + samples.size() * 2);
  }
  std::vector<int16_t> samples;
  WAVEHDR header{};
};

std::vector<char> Join(std::initializer_list<const Buffer*> buffers) {
  std::vector<char> all;
  for (const Buffer* b : buffers) {
    auto bytes = b->Bytes();
    all.insert(all.end(), bytes.begin(), bytes.end());
  }
  return all;
}

TEST_F(AlsaOnCaptureFile, PlaysBuffersInOrderAndReportsEachOnceAfterItsLastFrame) {
  RecordingSink sink;
  Buffer a(300, 0), b(1000, 5000), c(7, -900);
  {
    auto backend = CreateAlsaWaveOutBackend("default");
    ASSERT_EQ(backend->Query(kStereo16), MMSYSERR_NOERROR);
    std::unique_ptr<WaveOutStream> stream;
    ASSERT_EQ(backend->Open(kStereo16, sink, stream), MMSYSERR_NOERROR);
    for (Buffer* x : {&a, &b, &c}) ASSERT_EQ(stream->Write(&x->header), MMSYSERR_NOERROR);
    EXPECT_EQ(sink.WaitFor(3), (std::vector<WAVEHDR*>{&a.header, &b.header, &c.header}));
    uint64_t frames = 0;
    ASSERT_EQ(stream->GetPosition(frames), MMSYSERR_NOERROR);
    EXPECT_EQ(frames, 1307u);
    EXPECT_EQ(stream->Close(), MMSYSERR_NOERROR);
  }
  EXPECT_EQ(sink.Done().size(), 3u);  // nothing reported twice
  EXPECT_EQ(Captured(), Join({&a, &b, &c}));
}

TEST_F(AlsaOnCaptureFile, KeepsThePcmOpenAcrossClosesOfOneFormatAndReopensForAnother) {
  // The capture file is truncated whenever the PCM is really opened, so what
  // it holds at the end tells which closes were real.
  RecordingSink sink;
  Buffer first(200, 1), second(200, 2), mono(100, 3), last(50, 4);
  auto play = [&](WaveOutBackend& backend, const WAVEFORMATEX& format, Buffer& buffer) {
    const size_t before = sink.Done().size();
    ASSERT_EQ(backend.Query(format), MMSYSERR_NOERROR);
    std::unique_ptr<WaveOutStream> stream;
    ASSERT_EQ(backend.Open(format, sink, stream), MMSYSERR_NOERROR);
    ASSERT_EQ(stream->Write(&buffer.header), MMSYSERR_NOERROR);
    ASSERT_EQ(sink.WaitFor(before + 1).size(), before + 1);
    ASSERT_EQ(stream->Close(), MMSYSERR_NOERROR);
  };
  {
    auto backend = CreateAlsaWaveOutBackend("default");
    play(*backend, kStereo16, first);
    play(*backend, kStereo16, second);
  }
  EXPECT_EQ(Captured(), Join({&first, &second}));
  {
    auto backend = CreateAlsaWaveOutBackend("default");
    play(*backend, kStereo16, first);
    play(*backend, PcmFormat(22050, 1, 16), mono);  // a new format closes the old PCM
    play(*backend, PcmFormat(22050, 1, 16), last);
  }
  EXPECT_EQ(Captured(), Join({&mono, &last}));
}

TEST_F(AlsaOnCaptureFile, PauseHoldsQueuedBuffersAndRestartPlaysThem) {
  RecordingSink sink;
  Buffer a(100, 10), b(100, 20);
  auto backend = CreateAlsaWaveOutBackend("default");
  std::unique_ptr<WaveOutStream> stream;
  ASSERT_EQ(backend->Open(kStereo16, sink, stream), MMSYSERR_NOERROR);
  ASSERT_EQ(stream->Pause(), MMSYSERR_NOERROR);
  ASSERT_EQ(stream->Write(&a.header), MMSYSERR_NOERROR);
  ASSERT_EQ(stream->Write(&b.header), MMSYSERR_NOERROR);
  // This device plays instantly, so anything not held back by the pause
  // would be reported long before this.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_TRUE(sink.Done().empty());
  uint64_t frames = 99;
  ASSERT_EQ(stream->GetPosition(frames), MMSYSERR_NOERROR);
  EXPECT_EQ(frames, 0u);
  EXPECT_EQ(stream->Close(), WAVERR_STILLPLAYING);

  ASSERT_EQ(stream->Restart(), MMSYSERR_NOERROR);
  EXPECT_EQ(sink.WaitFor(2), (std::vector<WAVEHDR*>{&a.header, &b.header}));
  ASSERT_EQ(stream->GetPosition(frames), MMSYSERR_NOERROR);
  EXPECT_EQ(frames, 200u);
  EXPECT_EQ(stream->Close(), MMSYSERR_NOERROR);
  EXPECT_EQ(stream->Write(&a.header), MMSYSERR_INVALHANDLE);  // closed streams refuse work
}

TEST_F(AlsaOnCaptureFile, ResetReturnsEveryQueuedBufferBeforeReturningAndStaysPaused) {
  RecordingSink sink;
  Buffer played(64, 1), a(100, 2), b(100, 3), c(100, 4), after(32, 5);
  {
    auto backend = CreateAlsaWaveOutBackend("default");
    std::unique_ptr<WaveOutStream> stream;
    ASSERT_EQ(backend->Open(kStereo16, sink, stream), MMSYSERR_NOERROR);
    ASSERT_EQ(stream->Write(&played.header), MMSYSERR_NOERROR);
    ASSERT_EQ(sink.WaitFor(1).size(), 1u);
    ASSERT_EQ(stream->Pause(), MMSYSERR_NOERROR);
    for (Buffer* x : {&a, &b, &c}) ASSERT_EQ(stream->Write(&x->header), MMSYSERR_NOERROR);

    ASSERT_EQ(stream->Reset(), MMSYSERR_NOERROR);
    EXPECT_EQ(sink.Done(),
              (std::vector<WAVEHDR*>{&played.header, &a.header, &b.header, &c.header}));
    uint64_t frames = 99;
    ASSERT_EQ(stream->GetPosition(frames), MMSYSERR_NOERROR);
    EXPECT_EQ(frames, 0u);  // position counts from the reset

    // Still paused after the reset: a new buffer waits for Restart.
    ASSERT_EQ(stream->Write(&after.header), MMSYSERR_NOERROR);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(sink.Done().size(), 4u);
    ASSERT_EQ(stream->Restart(), MMSYSERR_NOERROR);
    EXPECT_EQ(sink.WaitFor(5).back(), &after.header);
    ASSERT_EQ(stream->GetPosition(frames), MMSYSERR_NOERROR);
    EXPECT_EQ(frames, 32u);
    ASSERT_EQ(stream->Close(), MMSYSERR_NOERROR);
  }
  EXPECT_EQ(Captured(), Join({&played, &after}));  // reset buffers were never played
}

TEST_F(AlsaOnCaptureFile, DestroyingAStreamWithQueuedBuffersDropsThemSilently) {
  RecordingSink sink;
  Buffer a(100, 1), b(100, 2);
  auto backend = CreateAlsaWaveOutBackend("default");
  {
    std::unique_ptr<WaveOutStream> stream;
    ASSERT_EQ(backend->Open(kStereo16, sink, stream), MMSYSERR_NOERROR);
    ASSERT_EQ(stream->Pause(), MMSYSERR_NOERROR);
    ASSERT_EQ(stream->Write(&a.header), MMSYSERR_NOERROR);
  }
  EXPECT_TRUE(sink.Done().empty());
  // The PCM left behind is clean: a new stream plays from position 0.
  std::unique_ptr<WaveOutStream> stream;
  ASSERT_EQ(backend->Open(kStereo16, sink, stream), MMSYSERR_NOERROR);
  ASSERT_EQ(stream->Write(&b.header), MMSYSERR_NOERROR);
  EXPECT_EQ(sink.WaitFor(1), (std::vector<WAVEHDR*>{&b.header}));
  uint64_t frames = 0;
  ASSERT_EQ(stream->GetPosition(frames), MMSYSERR_NOERROR);
  EXPECT_EQ(frames, 100u);
  EXPECT_EQ(stream->Close(), MMSYSERR_NOERROR);
}

TEST_F(AlsaOnCaptureFile, VolumeScalesACopyAndLeavesTheCallersSamplesAlone) {
  RecordingSink sink;
  Buffer loud(4, 0);
  loud.samples = {1000, 1000, -2000, -2000, 32767, 32767, -32768, -32768};
  const std::vector<int16_t> original = loud.samples;
  {
    auto backend = CreateAlsaWaveOutBackend("default");
    std::unique_ptr<WaveOutStream> stream;
    ASSERT_EQ(backend->Open(kStereo16, sink, stream), MMSYSERR_NOERROR);
    uint32_t volume = 0;
    ASSERT_EQ(stream->GetVolume(volume), MMSYSERR_NOERROR);
    EXPECT_EQ(volume, 0xFFFFFFFFu);  // a new stream plays at full volume
    ASSERT_EQ(stream->SetVolume(0x0000FFFFu), MMSYSERR_NOERROR);  // left full, right off
    ASSERT_EQ(stream->GetVolume(volume), MMSYSERR_NOERROR);
    EXPECT_EQ(volume, 0x0000FFFFu);
    ASSERT_EQ(stream->Write(&loud.header), MMSYSERR_NOERROR);
    ASSERT_EQ(sink.WaitFor(1).size(), 1u);
    ASSERT_EQ(stream->SetVolume(0x80008000u), MMSYSERR_NOERROR);  // both about half
    ASSERT_EQ(stream->Write(&loud.header), MMSYSERR_NOERROR);
    ASSERT_EQ(sink.WaitFor(2).size(), 2u);
    ASSERT_EQ(stream->Close(), MMSYSERR_NOERROR);
  }
  EXPECT_EQ(loud.samples, original);
  const std::vector<char> bytes = Captured();
  ASSERT_EQ(bytes.size(), 32u);
  std::vector<int16_t> got(16);
  std::memcpy(got.data(), bytes.data(), bytes.size());
  EXPECT_EQ(got, (std::vector<int16_t>{1000, 0, -2000, 0, 32767, 0, -32768, 0,  //
                                       500, 500, -1000, -1000, 16384, 16384, -16384, -16384}));
}

TEST_F(AlsaOnCaptureFile, EightBitVolumeScalesAroundTheMidpoint) {
  RecordingSink sink;
  std::vector<uint8_t> samples = {128, 255, 0, 192};
  WAVEHDR header{};
  header.lpData = reinterpret_cast<char*>(samples.data());
  header.dwBufferLength = 4;
  {
    auto backend = CreateAlsaWaveOutBackend("default");
    std::unique_ptr<WaveOutStream> stream;
    ASSERT_EQ(backend->Open(PcmFormat(11025, 1, 8), sink, stream), MMSYSERR_NOERROR);
    ASSERT_EQ(stream->SetVolume(0x00008000u), MMSYSERR_NOERROR);  // mono takes the left gain
    ASSERT_EQ(stream->Write(&header), MMSYSERR_NOERROR);
    ASSERT_EQ(sink.WaitFor(1).size(), 1u);
    ASSERT_EQ(stream->Close(), MMSYSERR_NOERROR);
  }
  const std::vector<char> bytes = Captured();
  ASSERT_EQ(bytes.size(), 4u);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.end()),
            (std::vector<uint8_t>{128, 192, 64, 160}));
}

TEST_F(AlsaOnCaptureFile, APartialTrailingFrameIsNotPlayed) {
  RecordingSink sink;
  Buffer odd(3, 7);
  odd.header.dwBufferLength = 10;  // two frames and half of the third
  {
    auto backend = CreateAlsaWaveOutBackend("default");
    std::unique_ptr<WaveOutStream> stream;
    ASSERT_EQ(backend->Open(kStereo16, sink, stream), MMSYSERR_NOERROR);
    ASSERT_EQ(stream->Write(&odd.header), MMSYSERR_NOERROR);
    ASSERT_EQ(sink.WaitFor(1).size(), 1u);
    ASSERT_EQ(stream->Close(), MMSYSERR_NOERROR);
  }
  std::vector<char> expected = odd.Bytes();
  expected.resize(8);
  EXPECT_EQ(Captured(), expected);
}

TEST_F(AlsaOnCaptureFile, APcmThatDoesNotExistIsReportedWithAlsasReason) {
  auto backend = CreateAlsaWaveOutBackend("tonewell_no_such_pcm");
  const MMRESULT query = backend->Query(kStereo16);
  ASSERT_NE(query, MMSYSERR_NOERROR);
  const std::string text = backend->ErrorText(query);
  EXPECT_NE(text.find("ALSA PCM \"tonewell_no_such_pcm\": "), std::string::npos) << text;
  EXPECT_GT(text.size(), std::string("ALSA PCM \"tonewell_no_such_pcm\": ").size());

  RecordingSink sink;
  std::unique_ptr<WaveOutStream> stream;
  EXPECT_EQ(backend->Open(kStereo16, sink, stream), query);
  EXPECT_EQ(stream, nullptr);
  WAVEOUTCAPS caps{};
  EXPECT_NE(backend->GetCaps(caps), MMSYSERR_NOERROR);
}

TEST_F(AlsaOnCaptureFile, FormatsItCannotPlayAreRefusedWithoutOpening) {
  auto backend = CreateAlsaWaveOutBackend("default");
  WAVEFORMATEX twelveBits = PcmFormat(44100, 2, 12);
  EXPECT_EQ(backend->Query(twelveBits), WAVERR_BADFORMAT);
  EXPECT_NE(backend->ErrorText(WAVERR_BADFORMAT).find("ALSA PCM \"default\""), std::string::npos);
  WAVEFORMATEX badAlign = kStereo16;
  badAlign.nBlockAlign = 3;
  EXPECT_EQ(backend->Query(badAlign), WAVERR_BADFORMAT);
  WAVEFORMATEX compressed = kStereo16;
  compressed.wFormatTag = 2;
  RecordingSink sink;
  std::unique_ptr<WaveOutStream> stream;
  EXPECT_EQ(backend->Open(compressed, sink, stream), WAVERR_BADFORMAT);
  EXPECT_EQ(backend->ErrorText(MMSYSERR_NOMEM), "");  // only codes it produced have texts
}

TEST_F(AlsaOnCaptureFile, CapsNameTheDeviceAndItsFormats) {
  auto backend = CreateAlsaWaveOutBackend("default");
  WAVEOUTCAPS caps{};
  ASSERT_EQ(backend->GetCaps(caps), MMSYSERR_NOERROR);
  EXPECT_STREQ(caps.szPname, "ALSA default");
  EXPECT_EQ(caps.dwFormats, 0xFFFu);  // this device takes every rate, width and layout
  EXPECT_EQ(caps.dwSupport & (WAVECAPS_VOLUME | WAVECAPS_LRVOLUME),
            WAVECAPS_VOLUME | WAVECAPS_LRVOLUME);
  EXPECT_EQ(caps.dwSupport & (WAVECAPS_PITCH | WAVECAPS_PLAYBACKRATE | WAVECAPS_SYNC), 0u);

  auto longName = CreateAlsaWaveOutBackend("tonewell_pcm_with_a_rather_long_name");
  ASSERT_EQ(longName->GetCaps(caps), MMSYSERR_NOERROR);
  EXPECT_STREQ(caps.szPname, "ALSA tonewell_pcm_with_a_rather");  // cut to the field
}

TEST_F(AlsaOnCaptureFile, SystemOutputSettingsSelectTheAlsaPcm) {
  auto nameOf = [] {
    WAVEOUTCAPS caps{};
    EXPECT_EQ(waveOutGetDevCaps(WAVE_MAPPER, &caps, sizeof caps), MMSYSERR_NOERROR);
    return std::string(caps.szPname);
  };
  // Unset and "default" take a sound server when one answers; with none to
  // be found they fall to ALSA's "default".
  const char* server = std::getenv("PULSE_SERVER");
  const std::string savedServer = server != nullptr ? server : "";
  setenv("PULSE_SERVER", "unix:/nonexistent/tonewell-test/native", 1);
  for (const char* system : {"", "default", "alsa", "alsa:"}) {
    SelectWaveOutput(system);
    EXPECT_EQ(nameOf(), "ALSA default") << "\"" << system << "\"";
  }
  if (server != nullptr) {
    setenv("PULSE_SERVER", savedServer.c_str(), 1);
  } else {
    unsetenv("PULSE_SERVER");
  }
  SelectWaveOutput("alsa:tonewell_pcm_with_a_rather_long_name");
  EXPECT_EQ(nameOf(), "ALSA tonewell_pcm_with_a_rather");

  // A device that is not there fails the format query; its text says which
  // PCM and why, in ALSA's words.
  SelectWaveOutput("alsa:tonewell_no_such_pcm");
  const MMRESULT code =
      waveOutOpen(nullptr, WAVE_MAPPER, &kStereo16, nullptr, 0, WAVE_FORMAT_QUERY);
  ASSERT_NE(code, MMSYSERR_NOERROR);
  char text[256];
  ASSERT_EQ(waveOutGetErrorText(code, text, sizeof text), MMSYSERR_NOERROR);
  EXPECT_EQ(std::string(text).rfind("ALSA PCM \"tonewell_no_such_pcm\": ", 0), 0u) << text;
  UseWaveOutBackend(nullptr);
}

// A PCM that stops answering, as one in front of a frozen sound server
// does: here ALSA's file plugin writing into a FIFO. With no reader its open
// never returns; with a reader that stops reading, a write blocks once the
// pipe is full.
class AlsaOnAFifo : public AlsaOnCaptureFile {
 protected:
  void SetUp() override {
    AlsaOnCaptureFile::SetUp();
    // A call left hanging may write once its reader is gone.
    signal(SIGPIPE, SIG_IGN);
    ASSERT_EQ(mkfifo(capture_.c_str(), 0600), 0);
    settings_.answerTime = std::chrono::milliseconds(300);
    settings_.stuckAfter = std::chrono::milliseconds(200);
  }
  // Reads the FIFO to its end (the plugin's last close), so that a call
  // left hanging in it returns and its thread ends.
  void Drain() {
    const int fd = open(capture_.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    fcntl(fd, F_SETFL, 0);
    char chunk[65536];
    while (read(fd, chunk, sizeof chunk) > 0) {
    }
    close(fd);
  }

  AlsaOutputSettings settings_;
};

TEST_F(AlsaOnAFifo, AnOpenThatDoesNotReturnIsReportedWithinItsBound) {
  tw::testing::Watchdog watchdog("an open of a PCM that does not answer", std::chrono::seconds(20));
  {
    auto backend = CreateAlsaWaveOutBackend("default", settings_);
    const MMRESULT query = backend->Query(kStereo16);
    ASSERT_NE(query, MMSYSERR_NOERROR);
    EXPECT_EQ(backend->ErrorText(query),
              "ALSA PCM \"default\": no answer within 0.3 s (opening it; the sound server behind "
              "the PCM may have stopped)");
  }
  std::thread([this] { Drain(); }).join();  // the open left behind returns and closes
}

TEST_F(AlsaOnAFifo, APcmStuckInAWriteLetsGoOfItsBuffersAndIsNotKept) {
  tw::testing::Watchdog watchdog("a PCM stuck in a write", std::chrono::seconds(20));
  // A reader that takes a little, then nothing until the end of the test.
  const int reader = open(capture_.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  RecordingSink sink;
  Buffer tone(100000, 3);  // far more than the pipe holds
  {
    auto backend = CreateAlsaWaveOutBackend("default", settings_);
    std::unique_ptr<WaveOutStream> stream;
    ASSERT_EQ(backend->Open(kStereo16, sink, stream), MMSYSERR_NOERROR);
    ASSERT_EQ(stream->Write(&tone.header), MMSYSERR_NOERROR);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_TRUE(sink.Done().empty());
    // Stuck in the plugin: a reset still gives the buffer back, at once.
    ASSERT_EQ(stream->Reset(), MMSYSERR_NOERROR);
    EXPECT_EQ(sink.Done(), (std::vector<WAVEHDR*>{&tone.header}));
    const MMRESULT refused = stream->Write(&tone.header);
    EXPECT_EQ(refused, MMSYSERR_ERROR);
    EXPECT_EQ(backend->ErrorText(refused),
              "ALSA PCM \"default\": snd_pcm_writei has not returned for 0.2 s (the sound server "
              "behind the PCM may have stopped)");
    EXPECT_EQ(stream->Close(), MMSYSERR_NOERROR);  // the stuck PCM is left, not closed
    // The next open makes a new PCM.
    ASSERT_EQ(backend->Open(kStereo16, sink, stream), MMSYSERR_NOERROR);
    EXPECT_EQ(stream->Close(), MMSYSERR_NOERROR);
  }
  close(reader);
  std::thread([this] { Drain(); }).join();
}

}  // namespace
}  // namespace tw
