// libFuzzer target over the RIFF/WAVE parser and the wave container; see
// WaveFuzzBody.h for what one input goes through. Built and run by
// fuzz/run.sh.

#include <cstddef>
#include <cstdint>

#include "fuzz/WaveFuzzBody.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  volatile uint32_t sink = tw::fuzz::FuzzWaveInput(Data, Size);
  (void)sink;
  return 0;
}
