#pragma once
// Tone synthesis: the extended-precision definition of every sample and the
// fast, exact path that produces the same 16-bit samples at the speed of
// vectorised double arithmetic.
//
// The 16-bit sample i of a tone is the double running sum of six partials,
// each formed in extended precision (ExtendedToneSample), rounded to the
// nearest integer with halves to even and clamped to -32768..32767. The fast
// path evaluates the same sum in double precision with an error of at most
// ToneErrorBound against that double running sum (the derivation is in
// ToneKernel.h), and recomputes in extended
// precision every sample whose fast value lies within ToneErrorBound of a
// half-integer. Elsewhere the rounding cannot differ, so the result is the
// extended-precision result sample for sample.

#include <cstdint>

#include "core/ExtendedReal.h"
#include "core/unit_core_types.h"

namespace tw {

// The fields of a cell that its tone depends on: opcode (bits 11-15),
// modifier (bits 8-10), A-mode (bits 0-2), B-mode field (bits 3-7), and the
// A- and B-numbers read as unsigned 16-bit values, modulo 100.
struct ToneFields {
  int Op = 0;
  int Md = 0;
  int Am = 0;
  int Bm = 0;
  int Ma = 0;
  int Mb = 0;
};
ToneFields ToneFieldsOf(const CoreCell& cell);

// The time of sample i of a tone of Count samples: i / (Count - 1), divided
// in double precision. Both paths use exactly this value.
inline double ToneTime(std::int32_t i, double last) { return static_cast<double>(i) / last; }

// --- The extended-precision definition ------------------------------------
// (ExtendedReal: the x87 extended format, in hardware or in software; the
// formulas are written once in ToneFormula.h.)
// Each partial is formed in extended precision, left to right as written,
// and scaled by 32767 then divided by 6:
//   ExtendedTheta(t)              ((pi * t) * 2)
//   ExtendedHarmonic(th, f, k)    cos((th * f) * k)                   partials 1-4
//   ExtendedPhaseCos(th, t, m)    cos(cos(th * m) * (((m * t) * pi) * 2))   partial 5
//   ExtendedPhaseSin(th, t, m)    sin(sin(th * m) * (((m * t) * pi) * 2))   partial 6
ExtendedReal ExtendedTheta(double t);
ExtendedReal ExtendedHarmonic(const ExtendedReal& theta, int field, int factor);
ExtendedReal ExtendedPhaseCos(const ExtendedReal& theta, double t, int m);
ExtendedReal ExtendedPhaseSin(const ExtendedReal& theta, double t, int m);

// One step of the running sum: Sum + Partial in extended precision, stored
// back as a double.
inline double AddTonePartial(double sum, const ExtendedReal& partial) {
  return static_cast<double>(sum + partial);
}
// Adds the six partials in order by AddTonePartial into a double that starts
// at 0.
double AddTonePartials(const ExtendedReal (&partials)[6]);

// The double value of one sample at time t: the six partials of `fields`
// added by AddTonePartials.
double ExtendedToneSample(const ToneFields& fields, double t);

// Rounds to the nearest integer, halves to even, and clamps to
// -32768..32767 (what ConvertToneSamples does for each sample).
std::int16_t ConvertToneSample(double sample);

// --- The fast, exact path --------------------------------------------------
// The largest possible difference between a fast double sample and the
// extended-precision double of the same sample, for every cell, every Count
// and every i (proved in ToneKernel.h).
inline constexpr double ToneErrorBound = 5.6e-7;

// The instruction-set builds of the fast evaluation.
enum class ToneKernel {
  Portable,  // two double lanes, any x86-64 (or any target GCC vectorises)
  Avx2Fma,   // four double lanes with fused multiply-add
};
// True when the running processor can execute `kernel`.
bool ToneKernelAvailable(ToneKernel kernel);
// The fastest available kernel; chosen once per process.
ToneKernel DefaultToneKernel();

// The fast evaluation alone: writes the fast double value of every sample
// of the cell's tone into Samples and its rounded, clamped value into Pcm
// (Count entries each), recomputing nothing. Each double lies within
// ToneErrorBound of ExtendedToneSample. Returns how many samples lie within
// ToneErrorBound of a half-integer (those ComputeTonePcm recomputes). Count 1
// raises EInvalidOp "Invalid floating point operation"; Count 0 writes
// nothing. `kernel` must be available.
std::int32_t ComputeFastTone(const CoreCell& cell, double* Samples, std::int16_t* Pcm,
                             std::int32_t Count, ToneKernel kernel);

// The exact 16-bit samples of the cell's tone into Pcm (Count entries),
// equal to ComputeToneSamples followed by ConvertToneSamples. Samples
// (Count entries) receives the double values: the extended-precision value
// where a sample was recomputed, the fast value elsewhere. Returns how many
// samples were recomputed in extended precision. ConvertToneSamples of
// Samples gives Pcm again. Count 1 raises EInvalidOp
// "Invalid floating point operation"; Count 0 writes nothing. Allocates
// nothing.
std::int32_t ComputeTonePcm(const CoreCell& cell, double* Samples, std::int16_t* Pcm,
                            std::int32_t Count, ToneKernel kernel = DefaultToneKernel());

}  // namespace tw
