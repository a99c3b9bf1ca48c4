// The tone kernel in four double lanes with fused multiply-add (AVX2 and
// FMA, compiled with -mavx2 -mfma by core/folder.cmake). Called only when
// the processor has both.
#if defined(__x86_64__)
#define TONE_KERNEL_NAME RunToneKernelAvx2Fma
#define TONE_KERNEL_LANES 4
#define TONE_KERNEL_FMA 1
#include "core/ToneKernelBody.h"
#else
#include "core/ToneKernel.h"
// Other processors never select this kernel (ToneKernelAvailable).
std::int32_t tw::RunToneKernelAvx2Fma(const ToneFields& fields, std::int32_t Count, double* Samples,
                                      std::int16_t* Pcm, ToneFallback fallback) {
  return RunToneKernelPortable(fields, Count, Samples, Pcm, fallback);
}
#endif
