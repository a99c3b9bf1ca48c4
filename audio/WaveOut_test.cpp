#include "audio/WaveOut.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "audio/WaveUtils.h"
#include "testing/ScriptedWaveOut.h"

namespace tw {
namespace {

using testing::UseScriptedWaveOut;

TEST(WaveOutConversionTest, VolumeWordsAndFixedPoint) {
  EXPECT_EQ(CombineVolume(75, 75), 49151u | (49151u << 16));
  EXPECT_EQ(CombineVolume(100, 0), 65535u);
  // Above 100 counts as 100 rather than wrapping to near silence.
  EXPECT_EQ(CombineVolume(101, 250), 0xFFFFFFFFu);
  uint16_t l = 0, r = 0;
  SplitVolume(49151u | (0xFFFFu << 16), l, r);
  EXPECT_EQ(l, 75);
  EXPECT_EQ(r, 100);

  EXPECT_EQ(FloatToFixed16(1.0), 65536u);
  EXPECT_EQ(FloatToFixed16(0.5), 32768u);
  EXPECT_EQ(FloatToFixed16(1.25), 81920u);
  EXPECT_EQ(FloatToFixed16(1.0 / 3.0), 21845u);  // rounded down, not to nearest
  for (double x : {1.0, 0.5, 1.25, 300.0078125}) EXPECT_EQ(Fixed16ToFloat(FloatToFixed16(x)), x);
  EXPECT_EQ(Fixed16ToFloat(0xFFFF8000u), -0.5);  // high word is signed
}

// A device object whose data comes from a byte vector, through either refill
// mode, with the protected operations reachable.
class VectorOut : public TWaveAudioOut {
 public:
  VectorOut() : TWaveAudioOut(nullptr) { FillPCMFormatFromCode(Format, 16); }
  ~VectorOut() override { CloseForDestruction(); }
  using TWaveAudioOut::InternalClose;
  using TWaveAudioOut::InternalOpen;

  WAVEFORMATEX Format{};
  std::vector<char> Data;
  size_t Pos = 0;
  int32_t ReadError = 0;  // returned once Pos reaches this many bytes, when non-zero
  bool NullFormat = false;
  // GetWaveDataPtr mode: blocks to hand out, then silence requests.
  std::vector<std::pair<int32_t, bool>> PtrScript;  // (size or ms of silence, silence?)

  void GetWaveFormat(const WAVEFORMATEX*& F, bool& FreeIt) override {
    FreeIt = false;
    F = NullFormat ? nullptr : &Format;
  }
  int32_t GetWaveData(void* Buffer, uint32_t Size, uint32_t&) override {
    if (ReadError != 0 && Pos >= static_cast<size_t>(ReadError)) return -1;
    const size_t n = std::min<size_t>(Size, Data.size() - Pos);
    std::memcpy(Buffer, Data.data() + Pos, n);
    Pos += n;
    return static_cast<int32_t>(n);
  }
  int32_t GetWaveDataPtr(void*& Block, uint32_t&, bool& Owned) override {
    if (PtrScript.empty()) return 0;
    auto [size, silence] = PtrScript.front();
    PtrScript.erase(PtrScript.begin());
    if (silence) return size;
    Block = std::malloc(size);
    std::memset(Block, 0x11, size);
    Owned = true;
    return size;
  }
};

std::vector<char> Pattern(size_t n) {
  std::vector<char> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<char>(i * 31 + 7);
  return v;
}

void Play(TWaveAudioIO& io) {
  io.SetActive(true);
  io.WaitUntilOpened();
  io.WaitUntilClosed();
}

TEST(WaveAudioIOTest, DefaultsAndSetters) {
  UseScriptedWaveOut();
  VectorOut out;
  EXPECT_FALSE(out.Active());
  EXPECT_FALSE(out.Paused());
  EXPECT_EQ(out.BufferLength(), 1000);
  EXPECT_EQ(out.BufferCount(), 2);
  EXPECT_EQ(out.DeviceID(), WAVE_MAPPER);
  EXPECT_FALSE(out.Async());
  EXPECT_EQ(out.ActiveBufferCount(), 0);
  EXPECT_EQ(out.VolumeLeft(), 75);
  EXPECT_EQ(out.Pitch(), 1.0);
  for (auto [in, stored] : {std::pair{0, 10}, {9, 10}, {10, 10}, {65535, 65535}}) {
    out.SetBufferLength(static_cast<uint16_t>(in));
    EXPECT_EQ(out.BufferLength(), stored);
  }
  EXPECT_EQ(out.GetDeviceName(), "Scripted");
  EXPECT_EQ(out.GetDeviceFormats(), 0x1FFFEu);  // 8000 Hz always, then one bit per format
  EXPECT_TRUE(out.GetDeviceSupport().Contains(wsVolume));
  EXPECT_FALSE(out.GetDeviceSupport().Contains(wsPitch));
}

TEST(WaveAudioIOTest, MMTimeToMS) {
  UseScriptedWaveOut();
  VectorOut out;
  MMTIME t{};
  t.wType = TIME_SAMPLES;
  t.u.sample = 44100;
  EXPECT_EQ(out.MMTimeToMS(t), 0u) << "no device format yet";
  out.Data = Pattern(400);
  Play(out);  // sets DeviceFormat
  EXPECT_EQ(out.MMTimeToMS(t), 1000u);
  t.wType = TIME_BYTES;
  t.u.cb = 176400;
  EXPECT_EQ(out.MMTimeToMS(t), 1000u);
  t.wType = TIME_SMPTE;
  t.u.smpte.hour = 1;
  t.u.smpte.min = 2;
  t.u.smpte.sec = 3;
  t.u.smpte.frame = 20;
  EXPECT_EQ(out.MMTimeToMS(t), 3723000u);
  t.wType = 0x40;
  EXPECT_EQ(out.MMTimeToMS(t), 0u);
}

TEST(WaveAudioIOTest, ReallocateBufferOwnershipRules) {
  UseScriptedWaveOut();
  VectorOut out;
  WAVEHDR* h = nullptr;
  EXPECT_TRUE(out.ReallocateBuffer(h, 0, nullptr));
  EXPECT_EQ(h, nullptr);

  ASSERT_TRUE(out.ReallocateBuffer(h, 100, nullptr));
  EXPECT_EQ(out.ActiveBufferCount(), 1);
  EXPECT_EQ(h->dwUser, reinterpret_cast<uintptr_t>(&out));
  char* block = h->lpData;
  std::memset(block, 0x5A, 100);
  ASSERT_TRUE(out.ReallocateBuffer(h, 100, nullptr));
  EXPECT_EQ(h->lpData, block) << "same size keeps the block";
  ASSERT_TRUE(out.ReallocateBuffer(h, 40, nullptr));
  EXPECT_EQ(h->lpData[39], 0x5A) << "a shrink keeps the contents";
  ASSERT_TRUE(out.ReallocateBuffer(h, 5000, nullptr));
  EXPECT_EQ(h->dwBufferLength, 5000u);
  EXPECT_EQ(h->lpData[0], 0x5A) << "a resize keeps the contents";

  char mine[16] = {};
  ASSERT_TRUE(out.ReallocateBuffer(h, sizeof(mine), mine));
  EXPECT_EQ(h->lpData, mine);
  EXPECT_EQ(h->dwUser, 0u) << "caller's data";
  EXPECT_EQ(out.ActiveBufferCount(), 1);

  WAVEHDR* second = nullptr;
  ASSERT_TRUE(out.ReallocateBuffer(second, 8, nullptr));
  EXPECT_EQ(out.ActiveBufferCount(), 2);
  out.ReleaseAllBuffers();
  EXPECT_EQ(out.ActiveBufferCount(), 0);
  EXPECT_EQ(mine[0], 0) << "the caller's block is untouched";
}

TEST(WaveOutDeviceTest, OpeningAnOpenDeviceAndClosingAClosedOne) {
  auto script = UseScriptedWaveOut();
  script->AutoComplete = false;
  VectorOut out;
  out.Data = Pattern(1000);
  try {
    out.InternalClose();
    FAIL() << "closing a closed device must raise";
  } catch (const EWaveAudioInvalidOperation& e) {
    EXPECT_STREQ(e.Message(), "Device is aleardy close");
    EXPECT_STREQ(e.ClassName(), "EWaveAudioInvalidOperation");
  }
  out.SetActive(false);  // no effect, no exception
  ASSERT_TRUE(out.InternalOpen());
  try {
    out.InternalOpen();
    FAIL() << "opening an open device must raise";
  } catch (const EWaveAudioInvalidOperation& e) {
    EXPECT_STREQ(e.Message(), "Device is aleardy open");
  }
  out.SetActive(true);  // no effect
  EXPECT_EQ(script->Count("open"), 1);
  out.SetActive(false);
  out.WaitUntilClosed();
  EXPECT_FALSE(out.Active());
  EXPECT_EQ(script->Count("close"), 1);
}

TEST(WaveOutDeviceTest, RefusedFormatRaisesWithTheCodesTextAndPlaysNothing) {
  auto script = UseScriptedWaveOut();
  script->QueryResult = WAVERR_BADFORMAT;
  VectorOut out;
  out.Data = Pattern(1000);
  try {
    out.SetActive(true);
    FAIL() << "a refused format must raise";
  } catch (const EWaveAudioSysError& e) {
    EXPECT_FALSE(std::string(e.Message()).empty());
    EXPECT_EQ(ReportLine(e), std::string("EWaveAudioSysError: ") + e.Message());
  }
  EXPECT_EQ(out.LastError(), WAVERR_BADFORMAT);
  EXPECT_EQ(out.LastErrorText(), out.GetErrorText(WAVERR_BADFORMAT));
  EXPECT_FALSE(out.Active());
  EXPECT_TRUE(script->Calls.empty());

  // With OnError set the handler replaces the exception.
  int errors = 0;
  out.OnError = [&](TWaveAudioIO*) { ++errors; };
  out.SetActive(true);
  EXPECT_EQ(errors, 1);
  EXPECT_FALSE(out.Active());

  // No format at all fails the same way.
  script->QueryResult = MMSYSERR_NOERROR;
  out.NullFormat = true;
  out.SetActive(true);
  EXPECT_EQ(errors, 2);
  EXPECT_FALSE(out.Active());
}

TEST(WaveOutDeviceTest, FailedRealOpenRaisesNothingAndIsReportedOnStandardError) {
  auto script = UseScriptedWaveOut();
  script->OpenResult = MMSYSERR_ALLOCATED;
  VectorOut out;
  out.Data = Pattern(1000);
  ::testing::internal::CaptureStderr();
  Play(out);  // no exception, both waits return
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(out.Active());
  EXPECT_EQ(out.LastError(), MMSYSERR_ALLOCATED);
  EXPECT_EQ(err.rfind("Exception EWaveAudioSysError in module ", 0), 0u) << err;
  EXPECT_NE(err.find(out.GetErrorText(MMSYSERR_ALLOCATED)), std::string::npos) << err;
}

// The playback must end (device closed, wait returned) in each of these.
TEST(WaveOutDeviceTest, BufferCountZeroAndLoweredCountStillPlayEverything) {
  auto script = UseScriptedWaveOut();
  VectorOut out;
  out.SetBufferLength(10);  // 1764 bytes
  out.Data = Pattern(10000);
  out.SetBufferCount(0);
  Play(out);
  EXPECT_FALSE(out.Active());
  EXPECT_EQ(script->Count("write"), 6);
  EXPECT_EQ(script->MaxPending, 1u);

  script->AutoComplete = false;
  out.Pos = 0;
  out.SetBufferCount(4);
  out.SetActive(true);
  Event never;
  while (script->Pending.size() < 4) {
    WaitForSyncObject(&never, 0);  // serve the queued start messages
  }
  out.SetBufferCount(1);
  for (int i = 0; i < 100 && out.Active(); ++i) {
    script->CompleteOne();
    WaitForSyncObject(&never, 0);
  }
  std::vector<char> played;
  for (const auto& b : script->Played) played.insert(played.end(), b.begin(), b.end());
  std::vector<char> expected = Pattern(10000);
  expected.insert(expected.end(), expected.begin(), expected.end());
  EXPECT_EQ(played, expected) << "both plays complete, in order";
  EXPECT_EQ(out.ActiveBufferCount(), 0);
}

TEST(WaveOutDeviceTest, FailedWriteWithoutOnErrorEndsThePlaybackAndIsReported) {
  auto script = UseScriptedWaveOut();
  script->WriteResult = MMSYSERR_NOMEM;
  VectorOut out;
  out.Data = Pattern(1000);
  ::testing::internal::CaptureStderr();
  Play(out);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(out.Active());
  EXPECT_EQ(out.ActiveBufferCount(), 0);
  EXPECT_EQ(err.rfind("Exception EWaveAudioSysError in module ", 0), 0u) << err;
  EXPECT_NE(err.find(" at "), std::string::npos);
  EXPECT_EQ(err.substr(err.size() - 3), ".\n\n") << err;
}

TEST(WaveOutDeviceTest, FailedWriteWithOnErrorCallsItOnceAndEndsThePlayback) {
  auto script = UseScriptedWaveOut();
  script->WriteResult = MMSYSERR_NOMEM;
  VectorOut out;
  out.Data = Pattern(1000);
  int errors = 0;
  out.OnError = [&](TWaveAudioIO* s) {
    ++errors;
    EXPECT_EQ(s->LastError(), MMSYSERR_NOMEM);
  };
  ::testing::internal::CaptureStderr();
  Play(out);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "handled by OnError";
  EXPECT_EQ(errors, 1);
  EXPECT_FALSE(out.Active());
  EXPECT_EQ(script->Calls.back(), "close");
}

TEST(WaveOutDeviceTest, NegativeReadCountEndsTheData) {
  auto script = UseScriptedWaveOut();
  VectorOut out;
  out.SetBufferLength(10);
  out.Data = Pattern(10000);
  out.ReadError = 1764;  // the second read fails
  Play(out);
  EXPECT_FALSE(out.Active());
  EXPECT_EQ(script->Count("write"), 1);
}

TEST(WaveOutDeviceTest, HandlerFailureIsReportedAndPlaybackGoesOn) {
  UseScriptedWaveOut();
  VectorOut out;
  out.Data = Pattern(1000);
  bool deactivated = false;
  out.OnActivate = [](TWaveAudioIO*) { throw Exception("Listener broke"); };
  out.OnDeactivate = [&](TWaveAudioIO*) { deactivated = true; };
  ::testing::internal::CaptureStderr();
  Play(out);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(deactivated);
  EXPECT_NE(err.find("Exception Exception in module "), std::string::npos) << err;
  EXPECT_NE(err.find(".\nListener broke.\n\n"), std::string::npos) << err;
}

TEST(WaveOutDeviceTest, PointerRefillQueuesHandedOutBlocksAndSilence) {
  auto script = UseScriptedWaveOut();
  VectorOut out;
  out.SetBufferInternally(false);
  out.SetBufferCount(1);
  out.PtrScript = {{300, false}, {10, true}, {200, false}};
  Play(out);
  EXPECT_FALSE(out.Active());
  ASSERT_EQ(script->Played.size(), 3u);
  EXPECT_EQ(script->Played[0], std::vector<char>(300, 0x11));
  EXPECT_EQ(script->Played[1], std::vector<char>(1764, 0)) << "10 ms of 16-bit silence";
  EXPECT_EQ(script->Played[2].size(), 200u);
}

TEST(WaveOutDeviceTest, WriteBufferQueuesACallersBlock) {
  auto script = UseScriptedWaveOut();
  script->AutoComplete = false;
  VectorOut out;
  out.SetBufferInternally(false);
  out.SetActive(true);
  char* block = static_cast<char*>(std::malloc(64));
  std::memset(block, 0x22, 64);
  EXPECT_TRUE(out.WriteBuffer(block, 64, 0, true));
  EXPECT_EQ(out.ActiveBufferCount(), 1);
  EXPECT_EQ(script->Played.back(), std::vector<char>(64, 0x22));
  script->WriteResult = MMSYSERR_ERROR;
  char stack[8] = {};
  out.OnError = [](TWaveAudioIO*) {};
  EXPECT_FALSE(out.WriteBuffer(stack, 8, 0, false));
  EXPECT_EQ(out.ActiveBufferCount(), 1);
  script->WriteResult = MMSYSERR_NOERROR;
  out.SetActive(false);  // reset returns the block; the object frees it
  out.WaitUntilClosed();
  EXPECT_FALSE(out.Active());
}

TEST(WaveOutDeviceTest, VolumeGoesToTheDeviceOnlyWithTheOption) {
  auto script = UseScriptedWaveOut();
  script->AutoComplete = false;
  VectorOut out;
  out.Data = Pattern(100);
  out.SetActive(true);
  out.SetVolume(50);
  EXPECT_EQ(script->Count("setvolume"), 0);
  out.SetOptions({woSetVolume});  // applied to the open device at once
  EXPECT_EQ(script->Calls.back(), "setvolume " + std::to_string(CombineVolume(50, 50)));
  script->Volume = CombineVolume(20, 40);
  EXPECT_EQ(out.VolumeLeft(), 20);
  EXPECT_EQ(out.Volume(), 30);
  script->Support = WAVECAPS_VOLUME;  // one volume for both sides
  out.SetVolumeLeft(10);
  EXPECT_EQ(out.VolumeLeft(), 25) << "both sides became the mean of 10 and 40";
  out.SetActive(false);
  out.WaitUntilClosed();
  EXPECT_EQ(out.VolumeRight(), 25) << "closed: the stored value";
}

}  // namespace
}  // namespace tw
