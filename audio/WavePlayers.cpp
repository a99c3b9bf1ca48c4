#include "audio/WavePlayers.h"

#include <charconv>
#include <cmath>

#include "runtime/IntText.h"
#include "runtime/Stream.h"

namespace tw {

namespace {

const char* const kOptionNames[] = {"woSetVolume", "woSetPitch", "woSetPlaybackRate"};

std::string Trim(const std::string& Text) {
  const size_t first = Text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const size_t last = Text.find_last_not_of(" \t");
  return Text.substr(first, last - first + 1);
}

uint16_t ParseWord(const std::string& Name, const std::string& Text) {
  const std::optional<int32_t> value = ParseInt32(Trim(Text));
  if (!value || *value < 0 || *value > 65535) {
    throw EConvertError("Invalid value \"" + Text + "\" for property " + Name);
  }
  return static_cast<uint16_t>(*value);
}

std::string RealToText(double Value) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof(text), Value);
  return std::string(text, result.ptr);
}

double ParseReal(const std::string& Name, const std::string& Text) {
  const std::string trimmed = Trim(Text);
  double value = 0;
  const auto result = std::from_chars(trimmed.data(), trimmed.data() + trimmed.size(), value);
  if (trimmed.empty() || result.ec != std::errc() ||
      result.ptr != trimmed.data() + trimmed.size() || !std::isfinite(value)) {
    throw EConvertError("Invalid value \"" + Text + "\" for property " + Name);
  }
  return value;
}

bool ParseBoolean(const std::string& Name, const std::string& Text) {
  const std::string trimmed = Trim(Text);
  if (trimmed == "True") return true;
  if (trimmed == "False") return false;
  throw EConvertError("Invalid value \"" + Text + "\" for property " + Name);
}

}  // namespace

std::string WaveOutOptionsToText(TWaveOutOptions Options) {
  std::string text = "[";
  for (int i = woSetVolume; i <= woSetPlaybackRate; ++i) {
    if (!Options.Contains(static_cast<TWaveOutOption>(i))) continue;
    if (text.size() > 1) text += ", ";
    text += kOptionNames[i];
  }
  return text + "]";
}

TWaveOutOptions WaveOutOptionsFromText(const std::string& Text) {
  const std::string trimmed = Trim(Text);
  if (trimmed.size() < 2 || trimmed.front() != '[' || trimmed.back() != ']') {
    throw EConvertError("Invalid set \"" + Text + "\" for property Options");
  }
  TWaveOutOptions options;
  const std::string body = trimmed.substr(1, trimmed.size() - 2);
  if (Trim(body).empty()) return options;
  size_t start = 0;
  for (;;) {
    const size_t comma = body.find(',', start);
    const std::string name =
        Trim(body.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    bool known = false;
    for (int i = woSetVolume; i <= woSetPlaybackRate; ++i) {
      if (name == kOptionNames[i]) {
        options.Include(static_cast<TWaveOutOption>(i));
        known = true;
      }
    }
    if (!known) throw EConvertError("Invalid set element \"" + name + "\" for property Options");
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return options;
}

TAudioPlayer::TAudioPlayer(TComponent* Owner) : TWaveAudioOut(Owner) {
  FWave = CreateWave();
  FWave->SetOnChange([this](TPersistent* Sender) { WaveChanged(Sender); });
}

TAudioPlayer::~TAudioPlayer() {
  CloseForDestruction();
  FWave->SetOnChange(nullptr);
}

std::unique_ptr<TWaveStreamAdapter> TAudioPlayer::CreateWave() { return std::make_unique<TWave>(); }

void TAudioPlayer::WaveChanged(TPersistent* /*Sender*/) { SetActive(false); }

void TAudioPlayer::SetWave(TWaveStreamAdapter* Value) {
  if (Value == FWave.get()) return;
  SetActive(false);
  // The device may still be returning buffers (in thread mode its close ends
  // the reading on the callback thread, under the lock); reading from the
  // old copy ends here, before the new bytes replace it.
  TWaveDeviceLock lock(*this);
  if (FWave->State() == wssReading) FWave->EndRead();
  if (Value != nullptr) {
    TStream& source = *Value->Stream();
    source.SetPosition(0);
    FWave->LoadFromStream(source);
  } else {
    FWave->Clear();
  }
}

void TAudioPlayer::GetWaveFormat(const WAVEFORMATEX*& Format, bool& FreeIt) {
  FreeIt = false;
  Format = nullptr;
  if (FWave->BeginRead()) {
    Format = FWave->WaveFormat();
    FWave->SetDataPosition(WaveMsToBytes(Format, StartPosition()));
  }
}

bool TAudioPlayer::InternalOpen() {
  bool opened = false;
  try {
    opened = TWaveAudioOut::InternalOpen();
  } catch (...) {
    if (!GetActive() && FWave->State() == wssReading) FWave->EndRead();
    throw;
  }
  if (!opened && !GetActive() && FWave->State() == wssReading) FWave->EndRead();
  return opened;
}

int32_t TAudioPlayer::GetWaveData(void* Buffer, uint32_t Size, uint32_t& /*Loops*/) {
  return FWave->Read(Buffer, static_cast<int32_t>(std::min<uint32_t>(Size, INT32_MAX)));
}

void TAudioPlayer::DoWaveOutDeviceClose() {
  try {
    FWave->EndRead();
  } catch (...) {
    TWaveAudioOut::DoWaveOutDeviceClose();
    throw;
  }
  TWaveAudioOut::DoWaveOutDeviceClose();
}

void TAudioPlayer::SetPosition(uint32_t Ms) {
  // The refill reads the wave under the same lock (on the callback thread in
  // thread mode).
  TWaveDeviceLock lock(*this);
  if (FWave->State() == wssReading) {
    FWave->SetDataPosition(WaveMsToBytes(FWave->WaveFormat(), Ms));
  }
  TWaveAudioOut::SetPosition(Ms);
}

void TAudioPlayer::GetPublishedProperties(std::vector<TPublishedProperty>& Properties) {
  TWaveAudioOut::GetPublishedProperties(Properties);
  auto word = [&](const char* Name, auto Get, auto Set, uint16_t Default, bool Stored = true) {
    const std::string name = Name;
    Properties.push_back({name, [Get] { return std::to_string(Get()); },
                          [name, Set](const std::string& v) { Set(ParseWord(name, v)); },
                          [Get, Default, Stored] { return Stored && Get() != Default; }});
  };
  Properties.push_back({"Options", [this] { return WaveOutOptionsToText(Options()); },
                        [this](const std::string& v) { SetOptions(WaveOutOptionsFromText(v)); },
                        [this] { return !Options().Empty(); }});
  word(
      "Volume", [this] { return Volume(); }, [this](uint16_t v) { SetVolume(v); }, 0, false);
  word(
      "VolumeLeft", [this] { return VolumeLeft(); }, [this](uint16_t v) { SetVolumeLeft(v); }, 75);
  word(
      "VolumeRight", [this] { return VolumeRight(); }, [this](uint16_t v) { SetVolumeRight(v); },
      75);
  Properties.push_back({"Pitch", [this] { return RealToText(Pitch()); },
                        [this](const std::string& v) { SetPitch(ParseReal("Pitch", v)); },
                        [this] { return Pitch() != 1.0; }});
  Properties.push_back(
      {"PlaybackRate", [this] { return RealToText(PlaybackRate()); },
       [this](const std::string& v) { SetPlaybackRate(ParseReal("PlaybackRate", v)); },
       [this] { return PlaybackRate() != 1.0; }});
  word(
      "BufferLength", [this] { return BufferLength(); }, [this](uint16_t v) { SetBufferLength(v); },
      1000);
  word(
      "BufferCount", [this] { return BufferCount(); }, [this](uint16_t v) { SetBufferCount(v); },
      2);
  Properties.push_back({"Async", [this] { return std::string(Async() ? "True" : "False"); },
                        [this](const std::string& v) { SetAsync(ParseBoolean("Async", v)); },
                        [this] { return Async(); }});
}

void TAudioPlayer::DefineProperties(std::vector<TBinaryProperty>& Properties) {
  TWaveAudioOut::DefineProperties(Properties);
  Properties.push_back({"Data", [this](TStream& Dest) { FWave->SaveToStream(Dest); },
                        [this](TStream& Source) { FWave->LoadFromStream(Source); },
                        [this] { return !FWave->Empty(); }});
}

}  // namespace tw
