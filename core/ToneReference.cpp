// The extended-precision definition of the tone: every sample as the tone
// has always been computed. The fast path (ToneSynthesis.cpp)
// falls back to these routines, and the tests compare against them.

#include <cmath>

#include "core/ToneAudio.h"
#include "core/ToneFormula.h"
#include "core/ToneSynthesis.h"
#include "core/unit_core_execute_quillmar.h"
#include "runtime/Exceptions.h"

namespace tw {

namespace {

// The partials are formed in extended precision and each one is added into
// the double sample; a partial rounded to double first would move a few
// samples by one step.
const ExtendedReal kPiX = ExtendedPi();

}  // namespace

ToneFields ToneFieldsOf(const CoreCell& cell) {
  const uint16_t word = cell.InstructionWord;
  ToneFields f;
  f.Op = (word >> 11) & 0x1F;
  f.Md = (word >> 8) & 0x7;
  f.Am = word & 0x7;
  f.Bm = (word >> 3) & 0x1F;
  f.Ma = static_cast<uint16_t>(cell.ANumber) % 100;
  f.Mb = static_cast<uint16_t>(cell.BNumber) % 100;
  return f;
}

ExtendedReal ExtendedTheta(double t) { return tone_formula::Theta(t, kPiX); }

ExtendedReal ExtendedHarmonic(const ExtendedReal& theta, int field, int factor) {
  return tone_formula::Harmonic(theta, field, factor);
}

ExtendedReal ExtendedPhaseCos(const ExtendedReal& theta, double t, int m) {
  return tone_formula::PhaseCos(theta, t, m, kPiX);
}

ExtendedReal ExtendedPhaseSin(const ExtendedReal& theta, double t, int m) {
  return tone_formula::PhaseSin(theta, t, m, kPiX);
}

double AddTonePartials(const ExtendedReal (&partials)[6]) {
  double s = 0;
  for (const ExtendedReal& p : partials) s = AddTonePartial(s, p);
  return s;
}

double ExtendedToneSample(const ToneFields& f, double t) {
  const int fields[6] = {f.Op, f.Md, f.Am, f.Bm, f.Ma, f.Mb};
  return tone_formula::Sample(fields, t, kPiX);
}

std::int16_t ConvertToneSample(double sample) {
  // nearbyint follows the default rounding mode: to nearest, halves to even.
  const double r = std::nearbyint(sample);
  return r < -32768.0 ? int16_t{-32768} : r > 32767.0 ? int16_t{32767} : static_cast<int16_t>(r);
}

void ComputeToneSamples(const CoreCell& Cell, double* Samples, int32_t Count) {
  if (Count == 1) throw EInvalidOp("Invalid floating point operation");
  const ToneFields fields = ToneFieldsOf(Cell);
  const double last = static_cast<double>(Count) - 1.0;
  for (int32_t i = 0; i < Count; ++i) Samples[i] = ExtendedToneSample(fields, ToneTime(i, last));
}

void ConvertToneSamples(const double* Samples, int16_t* Pcm, int32_t Count) {
  for (int32_t i = 0; i < Count; ++i) Pcm[i] = ConvertToneSample(Samples[i]);
}

}  // namespace tw
