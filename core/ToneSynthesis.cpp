// The fast, exact tone: a vectorised double evaluation, with the few samples
// that lie within its error bound of a rounding boundary recomputed in
// extended precision.

#include "core/ToneSynthesis.h"

#include "core/ToneKernel.h"
#include "runtime/Exceptions.h"

namespace tw {

namespace {

std::int16_t ExtendedFallback(const ToneFields& fields, std::int32_t index, double last,
                              double* sample) {
  *sample = ExtendedToneSample(fields, ToneTime(index, last));
  return ConvertToneSample(*sample);
}

ToneKernel ChooseToneKernel() {
  return ToneKernelAvailable(ToneKernel::Avx2Fma) ? ToneKernel::Avx2Fma : ToneKernel::Portable;
}

std::int32_t RunKernel(ToneKernel kernel, const CoreCell& cell, double* Samples, std::int16_t* Pcm,
                       std::int32_t Count, ToneFallback fallback) {
  if (Count == 1) throw EInvalidOp("Invalid floating point operation");
  if (Count <= 0) return 0;
  const ToneFields fields = ToneFieldsOf(cell);
  return kernel == ToneKernel::Avx2Fma
             ? RunToneKernelAvx2Fma(fields, Count, Samples, Pcm, fallback)
             : RunToneKernelPortable(fields, Count, Samples, Pcm, fallback);
}

}  // namespace

bool ToneKernelAvailable(ToneKernel kernel) {
  if (kernel == ToneKernel::Portable) return true;
#if defined(__x86_64__)
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
  return false;
#endif
}

ToneKernel DefaultToneKernel() {
  static const ToneKernel kernel = ChooseToneKernel();
  return kernel;
}

std::int32_t ComputeFastTone(const CoreCell& cell, double* Samples, std::int16_t* Pcm,
                             std::int32_t Count, ToneKernel kernel) {
  return RunKernel(kernel, cell, Samples, Pcm, Count, nullptr);
}

std::int32_t ComputeTonePcm(const CoreCell& cell, double* Samples, std::int16_t* Pcm,
                            std::int32_t Count, ToneKernel kernel) {
  return RunKernel(kernel, cell, Samples, Pcm, Count, &ExtendedFallback);
}

}  // namespace tw
