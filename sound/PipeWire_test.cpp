#include "sound/PipeWire.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "sound/Selection.h"
#include "testing/WaveOutTestSupport.h"

namespace tw {
namespace {

using namespace std::chrono_literals;
using tw::testing::PcmFormat;

TEST(PipeWireSetting, ReadsTargetAndLatencyAndRefusesAnythingElse) {
  PipeWireOutputSettings s;
  ASSERT_TRUE(ParsePipeWireSetting("", s));
  EXPECT_EQ(s.target, "");
  EXPECT_EQ(s.latencyFrames, 64u);
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
  close(listener);
  unlink(path.c_str());
  unsetenv("PIPEWIRE_REMOTE");
  if (probe == ServerProbe::kAbsent)
    GTEST_SKIP() << "no PipeWire client library (libpipewire-0.3-0)";
  EXPECT_EQ(probe, ServerProbe::kNotAnswering);
  EXPECT_EQ(why, "PipeWire daemon \"" + path + "\": no answer within 300 ms");
  EXPECT_LT(took, 2s);
  EXPECT_EQ(backend, nullptr);
}

}  // namespace
}  // namespace tw
