#include "sound/Pulse.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/WaveOutApi.h"
#include "runtime/BoundedWaits.h"
#include "sound/PulseApi.h"
#include "sound/Selection.h"
#include "testing/ProgramRun.h"
#include "testing/StartedProgram.h"
#include "testing/WaveOutTestSupport.h"

namespace tw {
namespace {

using tw::e2e::CommandOutput;
using tw::testing::PcmFormat;
using tw::testing::RecordingSink;
using tw::testing::StartedProgram;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':'))
    if (access((dir + "/" + program).c_str(), X_OK) == 0) return true;
  return false;
}

// A private PulseAudio server with a null sink "tap" paced like a sound
// card, reached through PULSE_SERVER; each test starts its own.
class PrivatePulse : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!OnPath("pulseaudio") || !OnPath("parec") || !OnPath("pactl"))
      GTEST_SKIP() << "no PulseAudio server to test against (Debian packages pulseaudio and "
                      "pulseaudio-utils); skipped";
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = ::testing::TempDir() + "tonewell-pulse-" + info->name() + "-" + std::to_string(getpid());
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    ASSERT_EQ(mkdir(dir_.c_str(), 0700), 0);
    std::ifstream in(TONEWELL_SOURCE_DIR "/tools/alsa/private-pulse.pa");
    std::string script((std::istreambuf_iterator<char>(in)), {});
    ASSERT_FALSE(script.empty());
    for (size_t at; (at = script.find("@RUNDIR@")) != std::string::npos;)
      script.replace(at, 8, dir_);
    std::ofstream(dir_ + "/server.pa") << script;
    setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    setenv("PULSE_SERVER", ("unix:" + dir_ + "/pulse.sock").c_str(), 1);
    server_ = std::make_unique<StartedProgram>(
        "pulseaudio",
        std::vector<std::string>{"-n", "-F", dir_ + "/server.pa", "--daemonize=no",
                                 "--exit-idle-time=-1", "--disallow-exit", "--realtime=no",
                                 "--high-priority=no", "--use-pid-file=no", "--log-target=stderr"},
        "/dev/null", dir_ + "/server.log");
    ASSERT_TRUE(server_->Started());
    for (int i = 0; i < 100; ++i) {
      if (ConnectPulseWaveOutBackend({}, 500ms) != nullptr) return;
      std::this_thread::sleep_for(50ms);
    }
    FAIL() << "the private server did not start";
  }

  void TearDown() override {
    StopRecording();
    if (server_ != nullptr) {
      server_->Signal(SIGCONT);
      server_->Signal(SIGTERM);
      server_->Wait();
    }
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }

  // Records the sink's monitor until StopRecording.
  void Record() {
    recorder_ = std::make_unique<StartedProgram>(
        "parec",
        std::vector<std::string>{"-d", "tap.monitor", "--raw", "--format=s16le", "--rate=44100",
                                 "--channels=2", "--latency-msec=5"},
        dir_ + "/recorded.raw", "/dev/null");
    for (int i = 0; i < 100; ++i) {
      const std::string outputs = CommandOutput("pactl list short source-outputs");
      if (!outputs.empty() && outputs != "<failed>") break;
      std::this_thread::sleep_for(50ms);
    }
  }

  // The recorded frames without the silence the server adds around sounds.
  std::vector<char> StopRecording() {
    if (recorder_ == nullptr) return {};
    std::this_thread::sleep_for(300ms);  // lets the last sound in
    recorder_->Signal(SIGTERM);
    recorder_->Wait();
    recorder_.reset();
    std::ifstream in(dir_ + "/recorded.raw", std::ios::binary);
    std::vector<char> all((std::istreambuf_iterator<char>(in)), {});
    std::vector<char> heard;
    for (size_t i = 0; i + 4 <= all.size(); i += 4)
      if (all[i] || all[i + 1] || all[i + 2] || all[i + 3])
        heard.insert(heard.end(), all.begin() + i, all.begin() + i + 4);
    return heard;
  }

  // Indexes of the server's playback streams.
  static std::vector<std::string> SinkInputs() {
    std::vector<std::string> ids;
    std::stringstream lines(CommandOutput("pactl list short sink-inputs"));
    std::string line;
    while (std::getline(lines, line))
      if (!line.empty()) ids.push_back(line.substr(0, line.find('\t')));
    return ids;
  }

  std::string dir_;
  std::unique_ptr<StartedProgram> server_;
  std::unique_ptr<StartedProgram> recorder_;
};

const WAVEFORMATEX kStereo16 = PcmFormat(44100, 2, 16);

// Stereo 16-bit frames counting up from `first` (never silent).
struct Buffer {
  Buffer(size_t frames, int16_t first) : samples(frames * 2) {
    for (size_t i = 0; i < samples.size(); ++i)
      samples[i] = static_cast<int16_t>(first + static_cast<int16_t>(i % 20000) + 1);
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

TEST_F(PrivatePulse, PlaysEveryFrameInOrderAndReportsEachBufferOnceWhenTheServerPlayedIt) {
  Record();
  RecordingSink sink;
  Buffer a(300, 100), b(4410, 5000), c(7, -900);
  auto backend = CreatePulseWaveOutBackend({});
  std::unique_ptr<WaveOutStream> stream;
  ASSERT_EQ(backend->Query(kStereo16), MMSYSERR_NOERROR);
  ASSERT_EQ(backend->Open(kStereo16, sink, stream), MMSYSERR_NOERROR);
  const auto start = Clock::now();
  for (Buffer* x : {&a, &b, &c}) ASSERT_EQ(stream->Write(&x->header), MMSYSERR_NOERROR);
  EXPECT_EQ(sink.WaitFor(3), (std::vector<WAVEHDR*>{&a.header, &b.header, &c.header}));
  // Reported played no earlier than the sound takes to play.
  EXPECT_GE(Clock::now() - start, std::chrono::microseconds(4717 * 1000000ll / 44100));
  uint64_t frames = 0;
  ASSERT_EQ(stream->GetPosition(frames), MMSYSERR_NOERROR);
  EXPECT_EQ(frames, 4717u);
  ASSERT_EQ(stream->Close(), MMSYSERR_NOERROR);
  EXPECT_EQ(sink.WaitFor(4, 100ms).size(), 3u) << "nothing reported twice";

  std::vector<char> sent = a.Bytes();
  for (const Buffer* x : {&b, &c}) {
    auto bytes = x->Bytes();
    sent.insert(sent.end(), bytes.begin(), bytes.end());
  }
  EXPECT_TRUE(StopRecording() == sent) << "the sink's monitor heard other frames than were sent";
}

TEST_F(PrivatePulse, KeepsOneServerStreamPerFormatAcrossOpensAndCloses) {
  RecordingSink sink;
  auto backend = CreatePulseWaveOutBackend({});
  size_t reported = 0;
  auto play = [&](const WAVEFORMATEX& format, Buffer& buffer) {
    std::unique_ptr<WaveOutStream> stream;
    ASSERT_EQ(backend->Open(format, sink, stream), MMSYSERR_NOERROR);
    ASSERT_EQ(stream->Write(&buffer.header), MMSYSERR_NOERROR);
    ASSERT_EQ(sink.WaitFor(++reported).size(), reported);
    ASSERT_EQ(stream->Close(), MMSYSERR_NOERROR);
  };
  Buffer first(200, 1), second(200, 2);
  play(kStereo16, first);
  const auto afterFirst = SinkInputs();
  play(kStereo16, second);
  EXPECT_EQ(SinkInputs(), afterFirst) << "the same stream played both";
  ASSERT_EQ(afterFirst.size(), 1u);

  Buffer mono(100, 3);
  mono.header.dwBufferLength = 200;  // 100 mono frames
  play(PcmFormat(22050, 1, 16), mono);
  const auto afterMono = SinkInputs();
  ASSERT_EQ(afterMono.size(), 1u) << "a new format closes the old stream";
  EXPECT_NE(afterMono, afterFirst);
  backend.reset();
  for (int i = 0; i < 40 && !SinkInputs().empty(); ++i) std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(SinkInputs().empty()) << "the backend's end closes its stream";
}

TEST_F(PrivatePulse, ResetReportsEverythingAtOnceAndPauseHoldsTheSoundUntilRestart) {
  RecordingSink sink;
  auto backend = CreatePulseWaveOutBackend({});
  std::unique_ptr<WaveOutStream> stream;
  ASSERT_EQ(backend->Open(kStereo16, sink, stream), MMSYSERR_NOERROR);
  Buffer longOne(44100 * 2, 7), more(4410, 8);
  ASSERT_EQ(stream->Write(&longOne.header), MMSYSERR_NOERROR);
  ASSERT_EQ(stream->Write(&more.header), MMSYSERR_NOERROR);
  ASSERT_EQ(stream->Reset(), MMSYSERR_NOERROR);
  EXPECT_EQ(sink.WaitFor(2, 0s), (std::vector<WAVEHDR*>{&longOne.header, &more.header}));
  uint64_t frames = 1;
  ASSERT_EQ(stream->GetPosition(frames), MMSYSERR_NOERROR);
  EXPECT_EQ(frames, 0u);

  Buffer held(4410, 9);  // 100 ms
  ASSERT_EQ(stream->Pause(), MMSYSERR_NOERROR);
  ASSERT_EQ(stream->Write(&held.header), MMSYSERR_NOERROR);
  EXPECT_EQ(sink.WaitFor(3, 400ms).size(), 2u) << "a paused stream plays nothing";
  ASSERT_EQ(stream->Restart(), MMSYSERR_NOERROR);
  EXPECT_EQ(sink.WaitFor(3).size(), 3u);
  EXPECT_EQ(stream->Close(), MMSYSERR_NOERROR);
}

TEST_F(PrivatePulse, VolumeIsTheStreamsVolumeInTheServer) {
  RecordingSink sink;
  auto backend = CreatePulseWaveOutBackend({});
  std::unique_ptr<WaveOutStream> stream;
  ASSERT_EQ(backend->Open(kStereo16, sink, stream), MMSYSERR_NOERROR);
  const uint32_t word = 0x8000u | (0x4000u << 16);
  ASSERT_EQ(stream->SetVolume(word), MMSYSERR_NOERROR);
  uint32_t back = 0;
  ASSERT_EQ(stream->GetVolume(back), MMSYSERR_NOERROR);
  EXPECT_NEAR(static_cast<double>(back & 0xFFFF), 0x8000, 1);
  EXPECT_NEAR(static_cast<double>(back >> 16), 0x4000, 1);
  // What the server itself says about its stream.
  const std::string listing = CommandOutput("pactl list sink-inputs");
  const size_t at = listing.find("front-left: ");
  unsigned long left = 0, right = 0;
  ASSERT_NE(at, std::string::npos) << listing;
  ASSERT_EQ(std::sscanf(listing.c_str() + at, "front-left: %lu / %*s / %*s dB, front-right: %lu",
                        &left, &right),
            2)
      << listing;
  std::string error;
  const PulseApi* pa = LoadPulseApi(error);
  ASSERT_NE(pa, nullptr) << error;
  EXPECT_EQ(left, pa->pa_sw_volume_from_linear(0x8000 / 65535.0));
  EXPECT_EQ(right, pa->pa_sw_volume_from_linear(0x4000 / 65535.0));
  EXPECT_EQ(stream->Close(), MMSYSERR_NOERROR);
  // The next device on the kept stream starts at full volume.
  ASSERT_EQ(backend->Open(kStereo16, sink, stream), MMSYSERR_NOERROR);
  ASSERT_EQ(stream->GetVolume(back), MMSYSERR_NOERROR);
  EXPECT_EQ(back, 0xFFFFFFFFu);
  EXPECT_EQ(stream->Close(), MMSYSERR_NOERROR);
}

TEST_F(PrivatePulse, AFrozenServerEndsTheSoundAfterABoundedWaitAndANewStreamGoesOn) {
  RecordingSink sink;
  auto backend = CreatePulseWaveOutBackend({});
  std::unique_ptr<WaveOutStream> stream;
  ASSERT_EQ(backend->Open(kStereo16, sink, stream), MMSYSERR_NOERROR);
  Buffer first(500, 1), second(500, 2), third(500, 3);
  ::testing::internal::CaptureStderr();
  server_->Signal(SIGSTOP);
  ASSERT_EQ(stream->Write(&first.header), MMSYSERR_NOERROR);
  ASSERT_EQ(sink.WaitFor(1, 2s).size(), 1u) << "the drain was not given up";
  server_->Signal(SIGCONT);
  ASSERT_EQ(stream->Write(&second.header), MMSYSERR_NOERROR);  // on a new server stream
  ASSERT_EQ(sink.WaitFor(2).size(), 2u);
  ASSERT_EQ(stream->Write(&third.header), MMSYSERR_NOERROR);
  ASSERT_EQ(sink.WaitFor(3).size(), 3u);
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("PulseAudio server \"unix:" + dir_ +
                      "/pulse.sock\", stream \"Tonewell\" on "
                      "sink \"tap\": a drain did not finish within"),
            std::string::npos)
      << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  EXPECT_EQ(stream->Close(), MMSYSERR_NOERROR);
}

// Ctrl-C while the server is frozen: a wait for a new server stream, and a
// connection, are given up at once when the sound waits are cancelled.
TEST_F(PrivatePulse, CancelledWaitsGiveUpAFrozenServerAtOnce) {
  RecordingSink sink;
  auto backend = CreatePulseWaveOutBackend({});
  std::unique_ptr<WaveOutStream> stream;
  ASSERT_EQ(backend->Open(kStereo16, sink, stream), MMSYSERR_NOERROR);
  Buffer first(500, 1), second(500, 2);
  ::testing::internal::CaptureStderr();
  server_->Signal(SIGSTOP);
  ASSERT_EQ(stream->Write(&first.header), MMSYSERR_NOERROR);
  ASSERT_EQ(sink.WaitFor(1, 2s).size(), 1u) << "the drain was not given up";
  ::testing::internal::GetCapturedStderr();
  std::thread ctrlC([] {
    std::this_thread::sleep_for(100ms);
    CancelBoundedWaits();
  });
  const auto start = Clock::now();
  const MMRESULT failed = stream->Write(&second.header);  // waits for a new server stream
  const auto took = Clock::now() - start;
  ctrlC.join();
  auto other = CreatePulseWaveOutBackend({});
  const auto connecting = Clock::now();
  const MMRESULT refused = other->Query(kStereo16);
  const auto tookToConnect = Clock::now() - connecting;
  ResumeBoundedWaits();
  ASSERT_NE(failed, MMSYSERR_NOERROR);
  EXPECT_LT(took, 1s);
  const std::string server = "PulseAudio server \"unix:" + dir_ + "/pulse.sock\"";
  EXPECT_EQ(backend->ErrorText(failed),
            server + ", stream \"Tonewell\" on sink \"tap\": interrupted");
  ASSERT_NE(refused, MMSYSERR_NOERROR);
  EXPECT_LT(tookToConnect, 1s);
  EXPECT_EQ(other->ErrorText(refused), server + ": interrupted");
  EXPECT_EQ(stream->Close(), MMSYSERR_NOERROR);
}

TEST_F(PrivatePulse, AServerThatGoesAwayFailsTheNextSoundThenTheNextOpen) {
  RecordingSink sink;
  auto backend = CreatePulseWaveOutBackend({});
  std::unique_ptr<WaveOutStream> stream;
  ASSERT_EQ(backend->Open(kStereo16, sink, stream), MMSYSERR_NOERROR);
  Buffer cut(44100, 1), next(500, 2);
  ASSERT_EQ(stream->Write(&cut.header), MMSYSERR_NOERROR);
  server_.reset();  // killed
  ASSERT_EQ(sink.WaitFor(1, 2s).size(), 1u) << "the cut sound ends at once";
  ASSERT_EQ(stream->Close(), MMSYSERR_NOERROR);

  const std::string server = "PulseAudio server \"unix:" + dir_ + "/pulse.sock\"";
  ASSERT_EQ(backend->Query(kStereo16), MMSYSERR_NOERROR);
  ASSERT_EQ(backend->Open(kStereo16, sink, stream), MMSYSERR_NOERROR);
  const MMRESULT failed = stream->Write(&next.header);
  ASSERT_NE(failed, MMSYSERR_NOERROR);
  EXPECT_EQ(backend->ErrorText(failed).rfind(server + ", stream \"Tonewell\" on sink \"tap\": ", 0),
            0u)
      << backend->ErrorText(failed);
  ASSERT_EQ(stream->Close(), MMSYSERR_NOERROR);

  EXPECT_NE(backend->Query(kStereo16), MMSYSERR_NOERROR);
  const MMRESULT refused = backend->Open(kStereo16, sink, stream);
  ASSERT_NE(refused, MMSYSERR_NOERROR);
  EXPECT_EQ(backend->ErrorText(refused).rfind(server + ": ", 0), 0u) << backend->ErrorText(refused);
}

TEST_F(PrivatePulse, DefaultPicksTheServerWhenOneAnswersAndAlsaOtherwise) {
  WAVEOUTCAPS caps{};
  SelectWaveOutput("");
  ASSERT_EQ(waveOutGetDevCaps(WAVE_MAPPER, &caps, sizeof caps), MMSYSERR_NOERROR);
  EXPECT_STREQ(caps.szPname, "PulseAudio default");
  SelectWaveOutput("pulse:tap?latency=4ms");
  ASSERT_EQ(waveOutGetDevCaps(WAVE_MAPPER, &caps, sizeof caps), MMSYSERR_NOERROR);
  EXPECT_STREQ(caps.szPname, "PulseAudio tap");

  setenv("PULSE_SERVER", ("unix:" + dir_ + "/nobody.sock").c_str(), 1);
  SelectWaveOutput("default");
  setenv("ALSA_CONFIG_PATH", TONEWELL_SOURCE_DIR "/sound/testdata/alsa-capture.conf", 1);
  setenv("TONEWELL_ALSA_CAPTURE", (dir_ + "/alsa.raw").c_str(), 1);
  ASSERT_EQ(waveOutGetDevCaps(WAVE_MAPPER, &caps, sizeof caps), MMSYSERR_NOERROR);
  EXPECT_STREQ(caps.szPname, "ALSA default");
  UseWaveOutBackend(nullptr);
}

// The default's look at a server: one that answers, one that is not there,
// and one that takes the connection but is frozen (named, not passed over).
TEST_F(PrivatePulse, TheDefaultsLookTellsAFrozenServerFromAMissingOne) {
  std::unique_ptr<WaveOutBackend> backend;
  std::string why;
  EXPECT_EQ(ProbePulse(1s, backend, why), ServerProbe::kAnswered);
  EXPECT_NE(backend, nullptr);
  const std::string server = "unix:" + dir_ + "/pulse.sock";
  setenv("PULSE_SERVER", ("unix:" + dir_ + "/nobody.sock").c_str(), 1);
  backend.reset();
  EXPECT_EQ(ProbePulse(1s, backend, why), ServerProbe::kAbsent);
  setenv("PULSE_SERVER", server.c_str(), 1);
  server_->Signal(SIGSTOP);
  const auto start = Clock::now();
  EXPECT_EQ(ProbePulse(300ms, backend, why), ServerProbe::kNotAnswering);
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_EQ(why, "PulseAudio server \"" + server + "\": no answer within 300 ms");
  EXPECT_EQ(backend, nullptr);
}

TEST_F(PrivatePulse, ASinkTheServerDoesNotHaveIsAnErrorOfTheQuery) {
  PulseOutputSettings named;
  named.sink = "nosuch";
  auto backend = CreatePulseWaveOutBackend(named);
  const MMRESULT r = backend->Query(kStereo16);
  ASSERT_NE(r, MMSYSERR_NOERROR);
  const std::string text = backend->ErrorText(r);
  // The server refuses it, or places the stream elsewhere and the backend
  // refuses that.
  EXPECT_EQ(
      text.rfind("PulseAudio server \"unix:" + dir_ + "/pulse.sock\", stream \"Tonewell\"", 0), 0u)
      << text;
  EXPECT_TRUE(text.find("No such entity") != std::string::npos ||
              text.find("no sink named \"nosuch\"") != std::string::npos)
      << text;
  EXPECT_TRUE(SinkInputs().empty());
}

TEST(PulseSetting, ReadsSinkAndLatencyAndRefusesAnythingElse) {
  PulseOutputSettings s;
  ASSERT_TRUE(ParsePulseSetting("", s));
  EXPECT_EQ(s.sink, "");
  EXPECT_EQ(s.latency, PulseOutputSettings::kDefaultPulseLatency);
  ASSERT_TRUE(ParsePulseSetting(":alsa_output.pci-0000_00_1f.3.analog-stereo?latency=2", s));
  EXPECT_EQ(s.sink, "alsa_output.pci-0000_00_1f.3.analog-stereo");
  EXPECT_EQ(s.latency, 2000us);
  PulseOutputSettings t;
  ASSERT_TRUE(ParsePulseSetting("?latency=0.5ms", t));
  EXPECT_EQ(t.sink, "");
  EXPECT_EQ(t.latency, 500us);
  for (const char* bad :
       {":", "?latency=", "?latency=0.4", "?latency=101", "?latency=1.5s", "?latency=-1",
        "?latency=.5", "?buffer=2", ":tap?", "x", ":tap?latency=1ms?"})
    EXPECT_FALSE(ParsePulseSetting(bad, t)) << bad;
  for (const char* bad : {"pulse:", "pulse?latency=fast", "pulsex"}) {
    try {
      SelectWaveOutput(bad);
      ADD_FAILURE() << bad << " was accepted";
    } catch (const EAudioSettingError& e) {
      EXPECT_NE(std::string(e.what()).find(std::string("\"") + bad + "\""), std::string::npos)
          << e.what();
    }
  }
}

TEST(PulseFormats, RefusesWhatTheServerCannotPlayBeforeConnecting) {
  PulseOutputSettings unreachable;
  auto backend = CreatePulseWaveOutBackend(unreachable);
  WAVEFORMATEX f = PcmFormat(44100, 2, 12);
  EXPECT_EQ(backend->Query(f), WAVERR_BADFORMAT);
  f = PcmFormat(44100, 2, 64);
  f.wFormatTag = 3;  // 64-bit float
  EXPECT_EQ(backend->Query(f), WAVERR_BADFORMAT);
  f = PcmFormat(44100, 2, 16);
  f.nBlockAlign = 3;
  EXPECT_EQ(backend->Query(f), WAVERR_BADFORMAT);
  EXPECT_NE(backend->ErrorText(WAVERR_BADFORMAT).find("block align 3"), std::string::npos);
}

}  // namespace
}  // namespace tw
