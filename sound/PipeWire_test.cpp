#include "sound/PipeWire.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "runtime/BoundedWaits.h"
#include "sound/Selection.h"
#include "testing/WaveOutTestSupport.h"

namespace tw {
namespace {

using namespace std::chrono_literals;
using tw::testing::PcmFormat;
using tw::testing::RecordingSink;
using Clock = std::chrono::steady_clock;

// Runs a command through the shell and returns its standard output.
std::string Output(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

// A private PipeWire daemon with WirePlumber and a timer-driven null sink
// "tap" (tools/pulse/private-pipewire.sh), reached through PIPEWIRE_REMOTE;
// each test starts its own.
class PrivatePipeWire : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Output("for p in pipewire wireplumber dbus-daemon pw-cli; do command -v $p; done | wc -l")
            .find('4') != 0)
      GTEST_SKIP() << "no PipeWire daemon to test against (Debian packages pipewire "
                      "pipewire-bin wireplumber libpipewire-0.3-modules dbus); skipped";
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = ::testing::TempDir() + "tonewell-pw-" + info->name() + "-" + std::to_string(getpid());
    // The helper's servers outlive the shell that started them; their
    // process ids are kept to stop them.
    const std::string start = "bash -c 'source " TONEWELL_SOURCE_DIR
                              "/tools/pulse/private-pipewire.sh && pipewire_start " +
                              dir_ +
                              " >/dev/null 2>&1 && echo $PIPEWIRE_PIDS,$PW_DBUS_PID' </dev/null";
    std::stringstream pids(Output(start));
    for (std::string pid; std::getline(pids, pid, ',');)
      if (std::atoi(pid.c_str()) > 0) pids_.push_back(std::atoi(pid.c_str()));
    ASSERT_EQ(pids_.size(), 4u) << "the private PipeWire did not start";
    daemon_ = pids_[0];
    setenv("PIPEWIRE_REMOTE", (dir_ + "/pipewire-0").c_str(), 1);
  }

  void TearDown() override {
    for (pid_t pid : pids_) {
      kill(pid, SIGCONT);
      kill(pid, SIGTERM);
    }
    unsetenv("PIPEWIRE_REMOTE");
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }

  // What `pw-cli` and `pw-dump` say, on the private daemon.
  std::string Daemon(const std::string& command) {
    return Output("PIPEWIRE_REMOTE=" + dir_ + "/pipewire-0 " + command + " 2>/dev/null");
  }
  size_t OurNodes() {
    const std::string nodes = Daemon("pw-cli ls Node");
    size_t n = 0;
    for (size_t at = 0; (at = nodes.find("node.name = \"Tonewell\"", at)) != std::string::npos;
         ++at)
      ++n;
    return n;
  }

  std::string dir_;
  pid_t daemon_ = 0;
  std::vector<pid_t> pids_;
};

const WAVEFORMATEX kStereo16 = PcmFormat(44100, 2, 16);

// Stereo 16-bit frames that are never silent.
struct Tone {
  explicit Tone(size_t frames) : samples(frames * 2, 1000) {
    header.lpData = reinterpret_cast<char*>(samples.data());
    header.dwBufferLength = static_cast<uint32_t>(samples.size() * 2);
  }
  std::vector<int16_t> samples;
  WAVEHDR header{};
};

TEST_F(PrivatePipeWire, ReportsEachBufferOnceWhenPlayedAndKeepsOneStreamPerFormat) {
  RecordingSink sink;
  auto backend = CreatePipeWireWaveOutBackend({});
  std::unique_ptr<WaveOutStream> stream;
  ASSERT_EQ(backend->Query(kStereo16), MMSYSERR_NOERROR) << backend->ErrorText(MMSYSERR_ERROR);
  const MMRESULT opened = backend->Open(kStereo16, sink, stream);
  ASSERT_EQ(opened, MMSYSERR_NOERROR) << backend->ErrorText(opened);
  Tone a(300), b(4410), c(7);
  const auto start = Clock::now();
  for (Tone* x : {&a, &b, &c}) ASSERT_EQ(stream->Write(&x->header), MMSYSERR_NOERROR);
  EXPECT_EQ(sink.WaitFor(3), (std::vector<WAVEHDR*>{&a.header, &b.header, &c.header}));
  // Reported once the last frame went to the sink: at most one graph cycle
  // (at most PipeWireQuanta::kMax frames) before the sound's own length.
  EXPECT_GE(Clock::now() - start,
            std::chrono::microseconds((4717 - PipeWireQuanta::kMax) * 1000000ll / 44100));
  uint64_t frames = 0;
  ASSERT_EQ(stream->GetPosition(frames), MMSYSERR_NOERROR);
  EXPECT_EQ(frames, 4717u);
  ASSERT_EQ(stream->Close(), MMSYSERR_NOERROR);
  EXPECT_EQ(sink.WaitFor(4, 100ms).size(), 3u) << "nothing reported twice";
  backend->Recycle(std::move(stream));

  const MMRESULT reopened = backend->Open(kStereo16, sink, stream);
  ASSERT_EQ(reopened, MMSYSERR_NOERROR) << backend->ErrorText(reopened);
  ASSERT_EQ(stream->Write(&a.header), MMSYSERR_NOERROR);
  ASSERT_EQ(sink.WaitFor(4).size(), 4u);
  EXPECT_EQ(OurNodes(), 1u) << "the same stream played both opens";
  ASSERT_EQ(stream->Close(), MMSYSERR_NOERROR);
  backend->Recycle(std::move(stream));
  ASSERT_EQ(backend->Open(PcmFormat(22050, 1, 16), sink, stream), MMSYSERR_NOERROR);
  EXPECT_EQ(OurNodes(), 1u) << "a new format closes the old stream";
  ASSERT_EQ(stream->Close(), MMSYSERR_NOERROR);
  backend->Recycle(std::move(stream));
  backend.reset();
  EXPECT_EQ(OurNodes(), 0u) << "the backend's end closes its stream";
}

TEST_F(PrivatePipeWire, ResetReportsEverythingAtOncePauseHoldsTheSoundAndVolumeIsTheStreams) {
  RecordingSink sink;
  auto backend = CreatePipeWireWaveOutBackend({});
  std::unique_ptr<WaveOutStream> stream;
  const MMRESULT opened = backend->Open(kStereo16, sink, stream);
  ASSERT_EQ(opened, MMSYSERR_NOERROR) << backend->ErrorText(opened);
  Tone longOne(44100 * 2), more(4410), held(4410);
  ASSERT_EQ(stream->Write(&longOne.header), MMSYSERR_NOERROR);
  ASSERT_EQ(stream->Write(&more.header), MMSYSERR_NOERROR);
  ASSERT_EQ(stream->Reset(), MMSYSERR_NOERROR);
  EXPECT_EQ(sink.WaitFor(2, 0s), (std::vector<WAVEHDR*>{&longOne.header, &more.header}));
  uint64_t frames = 1;
  ASSERT_EQ(stream->GetPosition(frames), MMSYSERR_NOERROR);
  EXPECT_EQ(frames, 0u);

  ASSERT_EQ(stream->Pause(), MMSYSERR_NOERROR);
  ASSERT_EQ(stream->Write(&held.header), MMSYSERR_NOERROR);
  EXPECT_EQ(sink.WaitFor(3, 400ms).size(), 2u) << "a paused stream plays nothing";
  ASSERT_EQ(stream->Restart(), MMSYSERR_NOERROR);
  EXPECT_EQ(sink.WaitFor(3).size(), 3u);

  ASSERT_EQ(stream->SetVolume(0x8000u | (0x4000u << 16)), MMSYSERR_NOERROR);
  uint32_t back = 0;
  ASSERT_EQ(stream->GetVolume(back), MMSYSERR_NOERROR);
  EXPECT_EQ(back, 0x8000u | (0x4000u << 16));
  // What the daemon itself says about the stream's channel volumes (the
  // value of its Props, a list; not their description).
  std::string volumes;
  for (int i = 0; i < 40 && volumes.find("0.5") == std::string::npos; ++i) {
    std::this_thread::sleep_for(50ms);
    const std::string dump = Daemon("pw-dump");
    const size_t node = dump.find("\"node.name\": \"Tonewell\"");
    const size_t at = dump.find("\"channelVolumes\": [", node == std::string::npos ? 0 : node);
    if (node == std::string::npos || at == std::string::npos) continue;
    volumes = dump.substr(at, dump.find(']', at) - at);
    volumes.erase(std::remove_if(volumes.begin(), volumes.end(), ::isspace), volumes.end());
  }
  EXPECT_EQ(volumes, "\"channelVolumes\":[0.500008,0.250004") << volumes;
  EXPECT_EQ(stream->Close(), MMSYSERR_NOERROR);
}

TEST_F(PrivatePipeWire, ATargetTheDaemonDoesNotHaveIsAnErrorOfTheQuery) {
  PipeWireOutputSettings named;
  named.target = "nosuch";
  auto backend = CreatePipeWireWaveOutBackend(named);
  const MMRESULT r = backend->Query(kStereo16);
  ASSERT_EQ(r, MMSYSERR_BADDEVICEID);
  EXPECT_EQ(backend->ErrorText(r), "PipeWire daemon \"" + dir_ +
                                       "/pipewire-0\", stream \"Tonewell\" on target \"nosuch\": "
                                       "no node named \"nosuch\" (see pw-cli ls Node)");
  named.target = "tap";
  auto onTap = CreatePipeWireWaveOutBackend(named);
  EXPECT_EQ(onTap->Query(kStereo16), MMSYSERR_NOERROR) << onTap->ErrorText(MMSYSERR_ERROR);
}

TEST_F(PrivatePipeWire, AFrozenGraphEndsTheSoundOnceAndADaemonGoneFailsTheNextSound) {
  RecordingSink sink;
  auto backend = CreatePipeWireWaveOutBackend({});
  std::unique_ptr<WaveOutStream> stream;
  const MMRESULT opened = backend->Open(kStereo16, sink, stream);
  ASSERT_EQ(opened, MMSYSERR_NOERROR) << backend->ErrorText(opened);
  Tone first(500), second(500), third(500);
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(kill(daemon_, SIGSTOP), 0);
  ASSERT_EQ(stream->Write(&first.header), MMSYSERR_NOERROR);
  ASSERT_EQ(sink.WaitFor(1, 1s).size(), 1u) << "the stopped graph was waited on";
  ASSERT_EQ(stream->Write(&second.header), MMSYSERR_NOERROR);
  ASSERT_EQ(sink.WaitFor(2, 1s).size(), 2u);
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("stream \"Tonewell\" on the default target: a sound was not played within"),
            std::string::npos)
      << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;

  ASSERT_EQ(kill(daemon_, SIGKILL), 0);
  for (int i = 0; i < 100 && stream->Write(&third.header) == MMSYSERR_NOERROR; ++i) {
    ASSERT_EQ(sink.WaitFor(3 + i, 1s).size(), 3u + i);
    std::this_thread::sleep_for(20ms);
  }
  const std::string daemon = "PipeWire daemon \"" + dir_ + "/pipewire-0\"";
  EXPECT_EQ(backend->ErrorText(MMSYSERR_ERROR).rfind(daemon + ", stream \"Tonewell\"", 0), 0u)
      << backend->ErrorText(MMSYSERR_ERROR);
  ASSERT_EQ(stream->Close(), MMSYSERR_NOERROR);
  backend->Recycle(std::move(stream));
  const MMRESULT refused = backend->Open(kStereo16, sink, stream);
  ASSERT_NE(refused, MMSYSERR_NOERROR);
  EXPECT_EQ(backend->ErrorText(refused).rfind(daemon + ": ", 0), 0u) << backend->ErrorText(refused);
}

TEST(PipeWireSetting, ReadsTargetAndLatencyAndRefusesAnythingElse) {
  PipeWireOutputSettings s;
  ASSERT_TRUE(ParsePipeWireSetting("", s));
  EXPECT_EQ(s.target, "");
  EXPECT_EQ(s.latencyFrames, 0u) << "fitted to the first sound";
  EXPECT_EQ(s.latencyRate, 44100u);
  ASSERT_TRUE(
      ParsePipeWireSetting(":alsa_output.pci-0000_00_1f.3.analog-stereo?latency=128/48000", s));
  EXPECT_EQ(s.target, "alsa_output.pci-0000_00_1f.3.analog-stereo");
  EXPECT_EQ(s.latencyFrames, 128u);
  EXPECT_EQ(s.latencyRate, 48000u);
  PipeWireOutputSettings t;
  ASSERT_TRUE(ParsePipeWireSetting(":42?latency=2ms", t));
  EXPECT_EQ(t.target, "42");
  EXPECT_EQ(t.latencyFrames, 88u);  // 2 ms of 44100 Hz
  EXPECT_EQ(t.latencyRate, 44100u);
  for (const char* bad : {":", "?latency=", "?latency=8/44100", "?latency=9000/44100",
                          "?latency=64/100", "?latency=64/", "?latency=/44100", "?latency=0.4",
                          "?latency=101", "?latency=1.5s", "?buffer=2", ":tap?", "x"})
    EXPECT_FALSE(ParsePipeWireSetting(bad, t)) << bad;
  for (const char* bad : {"pipewire:", "pipewire?latency=fast", "pipewirex"}) {
    try {
      SelectWaveOutput(bad);
      ADD_FAILURE() << bad << " was accepted";
    } catch (const EAudioSettingError& e) {
      EXPECT_NE(std::string(e.what()).find(std::string("\"") + bad + "\""), std::string::npos)
          << e.what();
    }
  }
}

TEST(PipeWireQuanta, TheQuantumHoldsTheFirstSoundWithTheLeastLeftOver) {
  const std::pair<uint64_t, uint32_t> cases[] = {{500, 256}, {255, 256}, {1000, 256}, {300, 64},
                                                 {100, 128}, {50, 64},   {10, 32},    {0, 256}};
  for (const auto& [frames, quantum] : cases)
    EXPECT_EQ(PipeWireQuanta::Fit(frames), quantum) << frames << " frames";
}

TEST(PipeWireFormats, RefusesWhatTheDaemonCannotPlayBeforeConnecting) {
  auto backend = CreatePipeWireWaveOutBackend({});
  WAVEFORMATEX f = PcmFormat(44100, 2, 12);
  EXPECT_EQ(backend->Query(f), WAVERR_BADFORMAT);
  f = PcmFormat(44100, 2, 16);
  f.nBlockAlign = 3;
  EXPECT_EQ(backend->Query(f), WAVERR_BADFORMAT);
  EXPECT_NE(backend->ErrorText(WAVERR_BADFORMAT).find("block align 3"), std::string::npos);
}

// A daemon's socket that takes connections and never answers (a frozen
// daemon), and one that is not there at all.
TEST(PipeWireProbe, AFrozenDaemonIsNamedAndAMissingOneIsAbsent) {
  const std::string path = ::testing::TempDir() + "tonewell-pw-" + std::to_string(getpid());
  setenv("PIPEWIRE_REMOTE", path.c_str(), 1);
  std::unique_ptr<WaveOutBackend> backend;
  std::string why;
  EXPECT_EQ(ProbePipeWire(200ms, backend, why), ServerProbe::kAbsent);

  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  const auto start = std::chrono::steady_clock::now();
  const ServerProbe probe = ProbePipeWire(300ms, backend, why);
  const auto took = std::chrono::steady_clock::now() - start;
  // Ctrl-C: the same wait, however long, is given up at once.
  std::string whyCancelled;
  CancelBoundedWaits();
  const auto cancelled = std::chrono::steady_clock::now();
  const ServerProbe probeCancelled = ProbePipeWire(3000ms, backend, whyCancelled);
  const auto tookCancelled = std::chrono::steady_clock::now() - cancelled;
  ResumeBoundedWaits();
  close(listener);
  unlink(path.c_str());
  unsetenv("PIPEWIRE_REMOTE");
  if (probe == ServerProbe::kAbsent)
    GTEST_SKIP() << "no PipeWire client library (libpipewire-0.3-0)";
  EXPECT_EQ(probe, ServerProbe::kNotAnswering);
  EXPECT_EQ(why, "PipeWire daemon \"" + path + "\": no answer within 300 ms");
  EXPECT_LT(took, 2s);
  EXPECT_EQ(probeCancelled, ServerProbe::kNotAnswering);
  EXPECT_EQ(whyCancelled, "PipeWire daemon \"" + path + "\": interrupted");
  EXPECT_LT(tookCancelled, 1s);
  EXPECT_EQ(backend, nullptr);
}

}  // namespace
}  // namespace tw
