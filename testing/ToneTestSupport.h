#pragma once
// Helpers for the tests of tones: a core cell from a Redcode line, and the
// 16-bit samples of its tone as the program plays them. Header only.

#include <cstdint>
#include <vector>

#include "core/ToneAudio.h"
#include "core/unit_core_types.h"
#include "core/unit_core_utils.h"

namespace tw::testing {

// The cell of one fully written-out instruction ("MOV.I $0, $1"); a
// malformed line raises the parser's exception.
inline CoreCell CellOf(const char* line) {
  CoreCell cell;
  ParseRedcodeLine(line, cell);
  return cell;
}

// The n samples of the tone of `cell`, rounded and clamped to 16 bits.
inline std::vector<int16_t> TonePcm(const CoreCell& cell, int32_t n) {
  std::vector<double> samples(n);
  std::vector<int16_t> pcm(n);
  ComputeToneSamples(cell, samples.data(), n);
  ConvertToneSamples(samples.data(), pcm.data(), n);
  return pcm;
}

}  // namespace tw::testing
