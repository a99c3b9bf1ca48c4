#pragma once
// The audio player: a wave output device whose data is a wave container of
// its own. Handing it a wave copies the wave's bytes; opening the device
// reads the format and then the data back from the copy, one buffer at a
// time, until the data ends and the device closes by itself.
//
// Synchronous play of a wave W (window mode, the default):
//   Player.SetWave(&W); Player.SetActive(true);
//   Player.WaitUntilOpened(); Player.WaitUntilClosed();
// WaitUntilClosed returns once the whole wave has been played and the device
// has closed; the device's notifications are handled on the calling thread
// while it waits.
//
// Streaming as a component: the published properties are Options, Volume
// (never stored), VolumeLeft, VolumeRight, Pitch, PlaybackRate, BufferLength,
// BufferCount and Async, after the component's Name and Tag, each stored
// only when it differs from its default. Their text forms: Options as a set
// "[woSetVolume, woSetPitch]" ("[]" when empty), numbers in decimal, reals
// in the shortest form that reads back to the same value, Booleans as
// "True"/"False". The wave travels as the binary property "Data": its whole
// RIFF/WAVE image, written only when the wave is not empty.

#include <memory>
#include <string>
#include <vector>

#include "audio/WaveOut.h"
#include "audio/WaveStorage.h"

namespace tw {

// Text forms of the option set used by component streaming. Parsing raises
// EConvertError for an unknown name or a malformed set.
std::string WaveOutOptionsToText(TWaveOutOptions Options);
TWaveOutOptions WaveOutOptionsFromText(const std::string& Text);

class TAudioPlayer : public TWaveAudioOut {
 public:
  explicit TAudioPlayer(TComponent* Owner);
  // Stops the device and waits for its close, then frees the wave.
  ~TAudioPlayer() override;

  const char* ClassName() const override { return "TAudioPlayer"; }

  // The player's own wave (never null).
  TWaveStreamAdapter* Wave() const { return FWave.get(); }
  // Stops a playing device (without waiting for its close), ends the
  // reading of the old copy, then copies Value's whole stream into the
  // player's wave (Value's stream is rewound first). Null empties the wave.
  // Value being the player's own wave does nothing.
  void SetWave(TWaveStreamAdapter* Value);

  void SetPosition(uint32_t Ms) override;
  int32_t GetWaveData(void* Buffer, uint32_t Size, uint32_t& Loops) override;

  void GetPublishedProperties(std::vector<TPublishedProperty>& Properties) override;
  void DefineProperties(std::vector<TBinaryProperty>& Properties) override;

 protected:
  // Makes the player's wave; called once by the constructor.
  virtual std::unique_ptr<TWaveStreamAdapter> CreateWave();
  // Any change of the player's wave stops playback.
  void WaveChanged(TPersistent* Sender);

  void GetWaveFormat(const WAVEFORMATEX*& Format, bool& FreeIt) override;
  // An open that fails ends the reading GetWaveFormat began, so the next
  // open (on another device, say) starts from an idle wave.
  bool InternalOpen() override;
  void DoWaveOutDeviceClose() override;

 private:
  std::unique_ptr<TWaveStreamAdapter> FWave;
};

}  // namespace tw
