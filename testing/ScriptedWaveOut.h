#pragma once
// A sound system for tests of the device objects: it records every call,
// can refuse formats, opens and writes, and either finishes each buffer as
// soon as it is written or keeps it until the test says so.

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/WaveOutApi.h"
#include "sound/Backend.h"

namespace tw::testing {

struct WaveOutScript {
  MMRESULT QueryResult = MMSYSERR_NOERROR;
  MMRESULT OpenResult = MMSYSERR_NOERROR;
  MMRESULT WriteResult = MMSYSERR_NOERROR;
  uint32_t Support = WAVECAPS_VOLUME | WAVECAPS_LRVOLUME;
  uint32_t Formats = 0x0FFF;
  // True: a buffer is done as soon as it is written (unless paused).
  bool AutoComplete = true;

  // What happened, in order: "open", "write <bytes>", "reset", "pause",
  // "restart", "close", "setvolume <word>".
  std::vector<std::string> Calls;
  // Every written buffer's bytes, in writing order.
  std::vector<std::vector<char>> Played;
  // Written and not yet done.
  std::vector<WAVEHDR*> Pending;
  WaveOutSink* Sink = nullptr;
  bool Paused = false;
  bool Open = false;
  uint64_t Frames = 0;
  uint32_t BlockAlign = 1;
  uint32_t Volume = 0xFFFFFFFF;
  size_t MaxPending = 0;

  // Finishes the oldest pending buffer; false when none is pending.
  bool CompleteOne() {
    if (Pending.empty()) return false;
    WAVEHDR* h = Pending.front();
    Pending.erase(Pending.begin());
    Frames += h->dwBufferLength / BlockAlign;
    Sink->BufferDone(h);
    return true;
  }
  int Count(const std::string& prefix) const {
    int n = 0;
    for (const auto& c : Calls) n += c.rfind(prefix, 0) == 0;
    return n;
  }
};

class ScriptedStream : public WaveOutStream {
 public:
  ScriptedStream(std::shared_ptr<WaveOutScript> Script) : S(std::move(Script)) {}
  MMRESULT Write(WAVEHDR* header) override {
    if (S->WriteResult != MMSYSERR_NOERROR) return S->WriteResult;
    S->Calls.push_back("write " + std::to_string(header->dwBufferLength));
    S->Played.emplace_back(header->lpData, header->lpData + header->dwBufferLength);
    S->Pending.push_back(header);
    S->MaxPending = std::max(S->MaxPending, S->Pending.size());
    if (S->AutoComplete && !S->Paused) S->CompleteOne();
    return MMSYSERR_NOERROR;
  }
  MMRESULT Reset() override {
    S->Calls.push_back("reset");
    while (!S->Pending.empty()) {
      WAVEHDR* h = S->Pending.front();
      S->Pending.erase(S->Pending.begin());
      S->Sink->BufferDone(h);
    }
    S->Frames = 0;
    return MMSYSERR_NOERROR;
  }
  MMRESULT Pause() override {
    S->Calls.push_back("pause");
    S->Paused = true;
    return MMSYSERR_NOERROR;
  }
  MMRESULT Restart() override {
    S->Calls.push_back("restart");
    S->Paused = false;
    if (S->AutoComplete) {
      while (S->CompleteOne()) {
      }
    }
    return MMSYSERR_NOERROR;
  }
  MMRESULT GetPosition(uint64_t& frames) override {
    frames = S->Frames;
    return MMSYSERR_NOERROR;
  }
  MMRESULT GetVolume(uint32_t& volume) override {
    volume = S->Volume;
    return MMSYSERR_NOERROR;
  }
  MMRESULT SetVolume(uint32_t volume) override {
    S->Calls.push_back("setvolume " + std::to_string(volume));
    S->Volume = volume;
    return MMSYSERR_NOERROR;
  }
  MMRESULT Close() override {
    if (!S->Pending.empty()) return WAVERR_STILLPLAYING;
    S->Calls.push_back("close");
    S->Open = false;
    return MMSYSERR_NOERROR;
  }

 private:
  std::shared_ptr<WaveOutScript> S;
};

class ScriptedBackend : public WaveOutBackend {
 public:
  explicit ScriptedBackend(std::shared_ptr<WaveOutScript> Script) : S(std::move(Script)) {}
  MMRESULT GetCaps(WAVEOUTCAPS& caps) override {
    caps = WAVEOUTCAPS{};
    std::snprintf(caps.szPname, sizeof(caps.szPname), "Scripted");
    caps.dwFormats = S->Formats;
    caps.wChannels = 2;
    caps.dwSupport = S->Support;
    return MMSYSERR_NOERROR;
  }
  MMRESULT Query(const WAVEFORMATEX&) override { return S->QueryResult; }
  MMRESULT Open(const WAVEFORMATEX& format, WaveOutSink& sink,
                std::unique_ptr<WaveOutStream>& stream) override {
    if (S->OpenResult != MMSYSERR_NOERROR) return S->OpenResult;
    S->Calls.push_back("open");
    S->Sink = &sink;
    S->Open = true;
    S->Paused = false;
    S->Frames = 0;
    S->BlockAlign = format.nBlockAlign ? format.nBlockAlign : 1;
    stream = std::make_unique<ScriptedStream>(S);
    return MMSYSERR_NOERROR;
  }

 private:
  std::shared_ptr<WaveOutScript> S;
};

// Installs a scripted sound system and returns its script.
inline std::shared_ptr<WaveOutScript> UseScriptedWaveOut() {
  auto script = std::make_shared<WaveOutScript>();
  UseWaveOutBackend(std::make_unique<ScriptedBackend>(script));
  return script;
}

}  // namespace tw::testing
