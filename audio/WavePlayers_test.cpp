#include "audio/WavePlayers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "audio/WaveUtils.h"
#include "runtime/ComponentStreaming.h"
#include "runtime/Stream.h"
#include "sound/Selection.h"
#include "testing/ScriptedWaveOut.h"

namespace tw {
namespace {

using testing::UseScriptedWaveOut;

std::vector<char> Pattern(size_t n, int seed = 0) {
  std::vector<char> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<char>(i * 13 + seed);
  return v;
}

// A 44100 Hz stereo 16-bit wave holding Data.
std::unique_ptr<TWave> ToneWave(const std::vector<char>& Data) {
  auto wave = std::make_unique<TWave>();
  EXPECT_TRUE(wave->BeginRewritePCM(16));
  EXPECT_EQ(wave->Write(Data.data(), static_cast<int32_t>(Data.size())),
            static_cast<int32_t>(Data.size()));
  EXPECT_TRUE(wave->EndRewrite());
  return wave;
}

void PlaySync(TAudioPlayer& player, TWaveStreamAdapter* wave) {
  player.SetWave(wave);
  player.SetActive(true);
  player.WaitUntilOpened();
  player.WaitUntilClosed();
}

// Serves every notification already queued for this thread.
void ServeQueued() {
  Event never;
  WaitForSyncObject(&never, 0);
}

std::vector<char> Joined(const std::vector<std::vector<char>>& Parts) {
  std::vector<char> all;
  for (const auto& p : Parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

struct EventLog {
  std::vector<std::string> Items;
  int MaxBuffers = 0;
  void Attach(TAudioPlayer& p) {
    p.OnActivate = [this](TWaveAudioIO*) { Items.push_back("activate"); };
    p.OnDeactivate = [this](TWaveAudioIO* s) {
      Items.push_back("deactivate buffers=" + std::to_string(s->ActiveBufferCount()));
    };
    p.OnLevel = [this](TWaveAudioIO* s, int32_t level) {
      Items.push_back("level " + std::to_string(level));
      MaxBuffers = std::max<int>(MaxBuffers, s->ActiveBufferCount());
    };
    p.OnPause = [this](TWaveAudioIO*) { Items.push_back("pause"); };
    p.OnResume = [this](TWaveAudioIO*) { Items.push_back("resume"); };
  }
};

TEST(AudioPlayerTest, BufferCycleForDataShorterEqualAndLongerThanOneBuffer) {
  // 10 ms of the tone format are 1764 bytes.
  const struct {
    size_t Bytes;
    std::vector<std::string> Writes;
  } cases[] = {
      {1000, {"write 1000"}},
      {1764, {"write 1764"}},
      {5000, {"write 1764", "write 1764", "write 1472"}},
      {0, {}},
  };
  for (const auto& c : cases) {
    auto script = UseScriptedWaveOut();
    TAudioPlayer player(nullptr);
    player.SetBufferLength(10);
    EventLog log;
    log.Attach(player);
    auto data = Pattern(c.Bytes);
    auto wave = ToneWave(data);
    PlaySync(player, wave.get());

    std::vector<std::string> writes;
    for (const auto& call : script->Calls) {
      if (call.rfind("write", 0) == 0) writes.push_back(call);
    }
    EXPECT_EQ(writes, c.Writes) << c.Bytes << " bytes";
    EXPECT_EQ(Joined(script->Played), data);
    EXPECT_EQ(script->Calls.front(), "open");
    EXPECT_EQ(script->Calls.back(), "close");
    EXPECT_LE(log.MaxBuffers, 2);
    // Events: activate, one level per queued buffer, level 0, deactivate last.
    ASSERT_EQ(log.Items.size(), c.Writes.size() + 3);
    EXPECT_EQ(log.Items.front(), "activate");
    EXPECT_EQ(log.Items[log.Items.size() - 2], "level 0");
    EXPECT_EQ(log.Items.back(), "deactivate buffers=0");
    EXPECT_FALSE(player.Active());
    EXPECT_EQ(player.ActiveBufferCount(), 0);
    EXPECT_EQ(player.Wave()->State(), wssIdle);
  }
}

TEST(AudioPlayerTest, OnLevelReportsThePeakOfEachBufferWhenQueued) {
  UseScriptedWaveOut();
  TAudioPlayer player(nullptr);
  EventLog log;
  log.Attach(player);
  std::vector<char> data(400, 0);
  int16_t loud = 16384;  // half of full scale
  std::memcpy(&data[100], &loud, 2);
  auto wave = ToneWave(data);
  PlaySync(player, wave.get());
  EXPECT_EQ(log.Items,
            (std::vector<std::string>{"activate", "level 50", "level 0", "deactivate buffers=0"}));
  // The same tone again: a complete second play with its own open and close.
  log.Items.clear();
  PlaySync(player, wave.get());
  EXPECT_EQ(log.Items.size(), 4u);
}

TEST(AudioPlayerTest, PauseBeforeOpenTakesEffectWhenTheDeviceOpens) {
  auto script = UseScriptedWaveOut();
  TAudioPlayer player(nullptr);
  EventLog log;
  log.Attach(player);
  player.SetPaused(true);
  EXPECT_TRUE(player.Paused());
  EXPECT_EQ(log.Items, std::vector<std::string>{"pause"}) << "fired at the request";
  auto data = Pattern(1000);
  auto wave = ToneWave(data);
  player.SetWave(wave.get());
  player.SetActive(true);
  ServeQueued();
  ASSERT_EQ(script->Calls.size(), 3u);
  EXPECT_EQ(script->Calls[0], "open");
  EXPECT_EQ(script->Calls[1], "pause");
  EXPECT_EQ(script->Calls[2], "write 1000");
  EXPECT_EQ(script->Pending.size(), 1u) << "a paused device holds its buffer";
  EXPECT_TRUE(player.Active());
  player.SetPaused(false);
  EXPECT_EQ(log.Items.back(), "resume");
  player.WaitUntilClosed();
  EXPECT_FALSE(player.Active());
  EXPECT_EQ(Joined(script->Played), data);
}

TEST(AudioPlayerTest, SetPositionWhilePlayingRestartsFromThatPlace) {
  auto script = UseScriptedWaveOut();
  script->AutoComplete = false;
  TAudioPlayer player(nullptr);
  player.SetBufferLength(100);  // 17640 bytes
  auto data = Pattern(176400);  // one second
  auto wave = ToneWave(data);
  player.SetWave(wave.get());
  player.SetActive(true);
  ServeQueued();
  ASSERT_EQ(script->Pending.size(), 2u);
  script->CompleteOne();
  ServeQueued();
  EXPECT_EQ(player.Position(), 100u);

  player.SetPosition(500);
  EXPECT_EQ(player.Position(), 500u) << "counts from the new start";
  ServeQueued();
  ASSERT_EQ(script->Pending.size(), 2u);
  const size_t before = script->Played.size();
  // Both returned buffers were refilled from 500 ms (88200 bytes) on.
  const std::vector<char> expected(data.begin() + 88200, data.begin() + 88200 + 17640);
  EXPECT_EQ(script->Played[before - 2], expected);
  while (player.Active()) {
    if (!script->CompleteOne()) break;
    ServeQueued();
  }
  EXPECT_FALSE(player.Active());
  const std::vector<char> tail(data.begin() + 88200, data.end());
  std::vector<std::vector<char>> after(script->Played.end() - 5, script->Played.end());
  EXPECT_EQ(Joined(after), tail);
  EXPECT_EQ(player.Position(), 0u) << "closed: back to 0";
}

TEST(AudioPlayerTest, SetWaveDuringPlayEndsTheOldReadingAndLoadsTheNewCopy) {
  auto script = UseScriptedWaveOut();
  script->AutoComplete = false;
  TAudioPlayer player(nullptr);
  player.SetBufferLength(10);
  auto first = ToneWave(Pattern(10000, 1));
  auto second = ToneWave(Pattern(3000, 2));
  player.SetWave(first.get());
  EXPECT_TRUE(player.Wave()->Equals(first.get()));
  player.SetActive(true);
  ServeQueued();
  EXPECT_EQ(player.Wave()->State(), wssReading);
  player.SetWave(second.get());
  EXPECT_EQ(player.Wave()->State(), wssIdle);
  EXPECT_TRUE(player.Wave()->Equals(second.get()));
  ServeQueued();
  player.WaitUntilClosed();
  EXPECT_FALSE(player.Active());
  // The next play is the new wave, whole.
  script->AutoComplete = true;
  script->Played.clear();
  PlaySync(player, player.Wave());
  EXPECT_EQ(Joined(script->Played), Pattern(3000, 2));

  player.SetWave(player.Wave());  // its own wave: nothing happens
  EXPECT_TRUE(player.Wave()->Equals(second.get()));
  player.SetWave(nullptr);
  EXPECT_TRUE(player.Wave()->Empty());
  EXPECT_THROW(player.SetActive(true), EWaveAudioSysError) << "no format to open with";
  EXPECT_FALSE(player.Active());
}

TEST(AudioPlayerTest, AFailedOpenLeavesTheWaveIdleSoALaterOpenWorks) {
  auto script = UseScriptedWaveOut();
  script->QueryResult = WAVERR_BADFORMAT;
  TAudioPlayer player(nullptr);
  auto wave = ToneWave(Pattern(800));
  player.SetWave(wave.get());
  EXPECT_THROW(player.SetActive(true), EWaveAudioSysError);
  EXPECT_EQ(player.Wave()->State(), wssIdle);
  script->QueryResult = MMSYSERR_NOERROR;
  player.SetActive(true);
  player.WaitUntilClosed();
  EXPECT_EQ(Joined(script->Played), Pattern(800));
}

TEST(AudioPlayerTest, ThreadModeHandlesNotificationsOnItsOwnThread) {
  UseScriptedWaveOut();
  TAudioPlayer player(nullptr);
  player.SetAsync(true);
  EXPECT_TRUE(player.Async());
  std::vector<std::thread::id> threads;
  Event done;
  player.OnActivate = [&](TWaveAudioIO*) { threads.push_back(std::this_thread::get_id()); };
  player.OnDeactivate = [&](TWaveAudioIO*) {
    threads.push_back(std::this_thread::get_id());
    done.Set();
  };
  auto wave = ToneWave(Pattern(5000));
  for (int play = 0; play < 3; ++play) {
    done.Reset();
    player.SetWave(wave.get());
    player.SetActive(true);
    player.WaitUntilOpened();
    ASSERT_EQ(WaitForSyncObject(&done, 10000), WAIT_OBJECT_0);
    player.WaitUntilClosed();
  }
  ASSERT_EQ(threads.size(), 6u);
  for (const auto& id : threads) EXPECT_NE(id, std::this_thread::get_id());
}

TEST(AudioPlayerTest, ThreadModeStopWaitsUntilTheCallbackThreadHasClosedTheDevice) {
  SelectWaveOutput("null");  // paced: a second of sound takes a second
  TAudioPlayer player(nullptr);
  player.SetAsync(true);
  std::vector<std::string> log;
  player.OnActivate = [&](TWaveAudioIO*) { log.push_back("activate"); };
  // A slow handler that the wait below meets already running: the close is
  // not over until it has returned.
  Event deactivating;
  player.OnDeactivate = [&](TWaveAudioIO* s) {
    deactivating.Set();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    log.push_back("deactivate buffers=" + std::to_string(s->ActiveBufferCount()));
  };
  // Five seconds: the data cannot end (which would put a close under way)
  // before the first wait below.
  auto wave = ToneWave(Pattern(5 * 176400));
  player.SetWave(wave.get());
  player.SetActive(true);
  player.WaitUntilOpened();
  player.WaitUntilClosed();  // thread mode, no close under way: returns at once
  EXPECT_TRUE(player.Active());
  player.SetActive(false);
  ASSERT_EQ(WaitForSyncObject(&deactivating, 10000), WAIT_OBJECT_0);
  player.WaitUntilClosed();  // a close is under way: waits for the thread
  EXPECT_FALSE(player.Active());
  EXPECT_EQ(player.ActiveBufferCount(), 0);
  EXPECT_EQ(log.back(), "deactivate buffers=0");
  EXPECT_EQ(player.Wave()->State(), wssIdle);
}

TEST(AudioPlayerTest, AsyncCannotChangeWhileActive) {
  auto script = UseScriptedWaveOut();
  script->AutoComplete = false;
  TAudioPlayer player(nullptr);
  auto wave = ToneWave(Pattern(500));
  player.SetWave(wave.get());
  player.SetActive(true);
  player.SetAsync(true);
  EXPECT_FALSE(player.Async()) << "ignored while active";
  player.SetActive(false);
  player.WaitUntilClosed();
  player.SetAsync(true);
  EXPECT_TRUE(player.Async());
}

TEST(AudioPlayerTest, DestroyedWhileOpenClosesTheDevice) {
  auto script = UseScriptedWaveOut();
  script->AutoComplete = false;
  auto wave = ToneWave(Pattern(5000));
  bool deactivated = false;
  {
    TAudioPlayer player(nullptr);
    player.SetBufferLength(10);  // the data outlasts the two queued buffers
    player.OnDeactivate = [&](TWaveAudioIO*) { deactivated = true; };
    player.SetWave(wave.get());
    player.SetActive(true);
    ServeQueued();
    ASSERT_FALSE(script->Pending.empty());
  }
  EXPECT_EQ(script->Calls.back(), "close");
  EXPECT_TRUE(script->Pending.empty());
  EXPECT_FALSE(deactivated) << "events are quiet while the player is destroyed";
}

TEST(AudioPlayerTest, PublishedPropertiesAndDataRoundTrip) {
  UseScriptedWaveOut();
  TAudioPlayer source(nullptr);
  std::vector<TPublishedProperty> props;
  source.GetPublishedProperties(props);
  std::vector<std::string> names;
  for (auto& p : props) names.push_back(p.Name);
  EXPECT_EQ(names, (std::vector<std::string>{"Name", "Tag", "Options", "Volume", "VolumeLeft",
                                             "VolumeRight", "Pitch", "PlaybackRate", "BufferLength",
                                             "BufferCount", "Async"}));
  for (auto& p : props) EXPECT_FALSE(p.Stored()) << p.Name << " is at its default";
  std::vector<TBinaryProperty> binary;
  source.DefineProperties(binary);
  ASSERT_EQ(binary.size(), 1u);
  EXPECT_EQ(binary[0].Name, "Data");
  EXPECT_FALSE(binary[0].HasData()) << "an empty wave writes no Data";

  source.SetOptions({woSetVolume, woSetPlaybackRate});
  source.SetVolumeLeft(20);
  source.SetPitch(1.5);
  source.SetPlaybackRate(0.1);
  source.SetBufferLength(250);
  source.SetBufferCount(3);
  source.SetAsync(true);
  auto wave = ToneWave(Pattern(777));
  source.SetWave(wave.get());

  TAudioPlayer copy(nullptr);
  std::vector<TPublishedProperty> to;
  copy.GetPublishedProperties(to);
  for (size_t i = 0; i < props.size(); ++i) {
    if (props[i].Name == "Volume") {
      EXPECT_FALSE(props[i].Stored()) << "Volume is never stored";
      continue;
    }
    if (props[i].Stored()) to[i].Set(props[i].Get());
  }
  TMemoryStream bytes;
  ASSERT_TRUE(binary[0].HasData());
  binary[0].Write(bytes);
  bytes.SetPosition(0);
  std::vector<TBinaryProperty> into;
  copy.DefineProperties(into);
  into[0].Read(bytes);

  EXPECT_EQ(WaveOutOptionsToText(copy.Options()), "[woSetVolume, woSetPlaybackRate]");
  EXPECT_EQ(copy.VolumeLeft(), 20);
  EXPECT_EQ(copy.VolumeRight(), 75);
  EXPECT_EQ(copy.Pitch(), 1.5);
  EXPECT_EQ(copy.PlaybackRate(), 0.1);
  EXPECT_EQ(copy.BufferLength(), 250);
  EXPECT_EQ(copy.BufferCount(), 3);
  EXPECT_TRUE(copy.Async());
  EXPECT_TRUE(copy.Wave()->Equals(wave.get()));
  EXPECT_EQ(copy.Wave()->Stream()->Size(), wave->Stream()->Size());
}

TEST(AudioPlayerTest, PropertyTextsThatDoNotReadAreRefused) {
  UseScriptedWaveOut();
  TAudioPlayer player(nullptr);
  std::vector<TPublishedProperty> props;
  player.GetPublishedProperties(props);
  EXPECT_EQ(WaveOutOptionsFromText(" [ ] "), TWaveOutOptions{});
  EXPECT_THROW(WaveOutOptionsFromText("[woLouder]"), EConvertError);
  EXPECT_THROW(props[6].Set("fast"), EConvertError);   // Pitch
  EXPECT_THROW(props[8].Set("70000"), EConvertError);  // BufferLength
}

TEST(AudioPlayerTest, ComponentTextRoundTripKeepsSettingsAndWaveBytes) {
  UseScriptedWaveOut();
  TAudioPlayer empty(nullptr);
  EXPECT_EQ(ComponentToText(empty), "object TAudioPlayer\nend\n") << "defaults and no Data";

  TAudioPlayer source(nullptr);
  source.SetName("Player1");
  source.SetOptions({woSetPitch});
  source.SetVolumeRight(5);
  source.SetPitch(0.75);
  source.SetBufferCount(4);
  auto wave = ToneWave(Pattern(101));
  source.SetWave(wave.get());
  const std::string text = ComponentToText(source);
  EXPECT_NE(text.find("  Options = [woSetPitch]\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  Data = {\n    52494646"), std::string::npos) << text;
  EXPECT_EQ(text.find("Volume ="), std::string::npos) << "Volume is never stored";

  TAudioPlayer copy(nullptr);
  ComponentFromText(text, copy);
  EXPECT_EQ(copy.Name(), "Player1");
  EXPECT_EQ(copy.Options(), TWaveOutOptions{woSetPitch});
  EXPECT_EQ(copy.VolumeLeft(), 75);
  EXPECT_EQ(copy.VolumeRight(), 5);
  EXPECT_EQ(copy.Pitch(), 0.75);
  EXPECT_EQ(copy.BufferCount(), 4);
  EXPECT_EQ(copy.BufferLength(), 1000);
  EXPECT_TRUE(copy.Wave()->Equals(wave.get()));
  EXPECT_EQ(ComponentToText(copy), text);
  // The copy plays what the original holds.
  auto script = UseScriptedWaveOut();
  PlaySync(copy, copy.Wave());
  EXPECT_EQ(Joined(script->Played), Pattern(101));
}

}  // namespace
}  // namespace tw
