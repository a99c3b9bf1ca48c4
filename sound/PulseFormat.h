#pragma once
// The sample formats of the sound server's streams: which wave formats the
// server plays, and the arithmetic between bytes of a format and time.

#include <pulse/sample.h>
#include <pulse/timeval.h>

#include <cstddef>
#include <cstdint>

#include "platform/mmsystem.h"

namespace tw {

// Reads `f` as the server's sample format: PCM (tag 1) with 8, 16, 24 or 32
// bits and IEEE float (tag 3) with 32 bits, 1 to PA_CHANNELS_MAX channels,
// 1 to PA_RATE_MAX Hz, the block align of whole samples. False for anything
// else (`out` is then partly written).
bool ToSampleFormat(const WAVEFORMATEX& f, pa_sample_spec& out);

bool SameSampleFormat(const pa_sample_spec& a, const pa_sample_spec& b);

// The bytes of one frame of a format ToSampleFormat made.
size_t FrameBytes(const pa_sample_spec* f);
// Whole frames of `f` that last `usec`, in bytes; and back (rounded down).
uint64_t UsecToBytes(pa_usec_t usec, const pa_sample_spec* f);
pa_usec_t BytesToUsec(uint64_t bytes, const pa_sample_spec* f);

}  // namespace tw
