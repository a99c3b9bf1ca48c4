#pragma once
// The objects every instruction tone uses, and the steps of making one tone.
//
// CreateAudioObjects makes, in this order:
// ToneSamples and PcmSamples of SoundSamples entries, the sound system chosen
// by TONEWELL_AUDIO, AudioPlayer, WaveMemoryStream, and WaveAdapter over
// WaveMemoryStream (which the adapter does not own). FreeAudioObjects frees
// WaveAdapter, WaveMemoryStream, PcmSamples, AudioPlayer, ToneSamples.

#include <cstdint>
#include <vector>

#include "core/unit_core_types.h"

namespace tw {

// The number of samples of every tone: the third command-line argument.
extern std::int32_t SoundSamples;
// The tone's samples as computed and as played; sized to SoundSamples by
// CreateAudioObjects and reused by every tone.
extern std::vector<double> ToneSamples;
extern std::vector<std::int16_t> PcmSamples;

// Creates the objects every tone uses, in their fixed order. A negative
// SoundSamples raises ERangeError "Range check error" before anything is
// created; so does a tone whose memory the system cannot give (MemoryRoom),
// EOutOfMemory "Out of memory: a tone of N samples needs X GiB, and Y GiB
// are to be had", instead of a run that grows until the system kills it.
void CreateAudioObjects();
// Frees what CreateAudioObjects made, in its fixed order.
void FreeAudioObjects();

// Makes the tone of one fetched instruction and returns when it has been
// played to its end. Failures of synthesis or playback propagate.
void SynthesizeTone(const CoreCell& cell);

// The executor's tone policy that plays each instruction's tone.
struct AudibleTone {
  static void Play(const CoreCell& cell) { SynthesizeTone(cell); }
};

class TAudioPlayer;
class TMemoryStream;
class TWaveStreamAdapter;

extern TAudioPlayer* AudioPlayer;
extern TMemoryStream* WaveMemoryStream;
extern TWaveStreamAdapter* WaveAdapter;

// The factor of each of the six partials: 32767 / 6.
inline constexpr double ToneAmplitude = 32767.0 / 6.0;

// Computes the N = Count samples of a cell's tone into Samples: six
// partials driven by the opcode, modifier, both modes and the two numbers
// modulo 100, over t = i / (N - 1). Count 1 raises EInvalidOp "Invalid
// floating point operation" (t would be 0 / 0); Count 0 computes nothing.
void ComputeToneSamples(const CoreCell& Cell, double* Samples, int32_t Count);

// Rounds each sample to the nearest integer (halves to even) and clamps it
// to -32768..32767.
void ConvertToneSamples(const double* Samples, int16_t* Pcm, int32_t Count);

// Converts all of Samples (SoundSamples entries) into PcmSamples, rewrites
// WaveAdapter as a 44100 Hz stereo 16-bit wave holding them, hands it to
// AudioPlayer and returns when it has been played and the device has closed.
void PlayTone(const std::vector<double>& Samples);

// How many distinct tones are remembered right now (a tone depends only on
// the instruction word, both numbers modulo 100 and SoundSamples, so each
// one is computed once per battle while memory allows).
std::size_t CachedToneCount();
// Forgets every remembered tone and frees their memory.
void ResetToneCache();
// The memory the remembered tones of `samples` samples reserve.
std::size_t ToneCacheBytes(std::int32_t samples);
// With false, every tone is synthesized anew and none is remembered (to
// measure what the cache saves); true by default.
void EnableToneCache(bool enabled);

}  // namespace tw
