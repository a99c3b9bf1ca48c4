// The body of a tone kernel (see ToneKernel.h for
// what it computes and its error bound). Included by exactly one translation
// unit per instruction set, which first defines:
//   TONE_KERNEL_NAME   the function to define
//   TONE_KERNEL_LANES  doubles per vector
//   TONE_KERNEL_FMA    1 to fuse each Horner step with _mm256_fmadd_pd
// Everything else here has internal linkage: no inline function compiled for
// one instruction set may be chosen by the linker for another's callers.
//
// The translation units are compiled with -ffp-contract=off so that every
// operation rounds exactly as written (the bound counts each rounding). The
// inline functions of the headers included here are not called here.

#include <cstdint>

#include "core/ToneKernel.h"
#include "core/ToneSynthesis.h"

#if TONE_KERNEL_FMA
#include <immintrin.h>
#endif

namespace tw {
namespace {

constexpr int kLanes = TONE_KERNEL_LANES;
typedef double Vd __attribute__((vector_size(kLanes * sizeof(double))));
typedef std::int64_t Vi __attribute__((vector_size(kLanes * sizeof(double))));
typedef std::int32_t Vi32 __attribute__((vector_size(kLanes * sizeof(std::int32_t))));

// 1.5 * 2^52: adding it to |x| < 2^51 leaves the nearest integer to x (halves
// to even) in the low bits of the significand, and subtracting it again
// gives that integer exactly.
constexpr double kRoundMagic = 0x1.8p52;

// (-1)^j (2 pi)^(2j) / (2j)!, correctly rounded: cos(2 pi r) = sum c_j r^(2j).
constexpr double kCos[10] = {0x1.0000000000000p+0,  -0x1.3bd3cc9be45dep+4, 0x1.03c1f081b5ac4p+6,
                             -0x1.55d3c7e3cbffap+6, 0x1.e1f506891babbp+5,  -0x1.a6d1f2a204a8cp+4,
                             0x1.f9d38a3763cc3p+2,  -0x1.b6e24f44b128fp+0, 0x1.20c62c2f2d7f5p-2,
                             -0x1.2a0c591af8314p-5};

inline Vd Splat(double x) { return Vd{} + x; }

inline Vd MulAdd(Vd a, Vd b, Vd c) {
#if TONE_KERNEL_FMA
  return _mm256_fmadd_pd(a, b, c);
#else
  return a * b + c;
#endif
}

inline Vd Abs(Vd x) {
  const Vi magnitude = Vi{} + 0x7fffffffffffffffLL;
  return (Vd)((Vi)x & magnitude);
}

// cos(2 pi x) for |x| < 2^50, within Ec of the true value. The polynomial
// is evaluated by Estrin's scheme: a shorter chain of dependent operations
// than Horner's rule, and no term passes more than 11 roundings.
inline Vd Cos2Pi(Vd x) {
  const Vd magic = Splat(kRoundMagic);
  const Vd d = x * 2.0 + magic;  // 2x is exact; the sum rounds 2x to m
  const Vd m = d - magic;
  const Vd r = x - m * 0.5;  // exact, |r| <= 1/4
  const Vd w = r * r;
  const Vd w2 = w * w;
  const Vd w4 = w2 * w2;
  const Vd w8 = w4 * w4;
  const Vd q01 = MulAdd(Splat(kCos[1]), w, Splat(kCos[0]));
  const Vd q23 = MulAdd(Splat(kCos[3]), w, Splat(kCos[2]));
  const Vd q45 = MulAdd(Splat(kCos[5]), w, Splat(kCos[4]));
  const Vd q67 = MulAdd(Splat(kCos[7]), w, Splat(kCos[6]));
  const Vd q89 = MulAdd(Splat(kCos[9]), w, Splat(kCos[8]));
  const Vd q03 = MulAdd(q23, w2, q01);
  const Vd q47 = MulAdd(q67, w2, q45);
  const Vd q07 = MulAdd(q47, w4, q03);
  const Vd p = MulAdd(q89, w8, q07);
  const Vi sign = (Vi)d << 63;  // the parity of m, in the sign bit
  return (Vd)((Vi)p ^ sign);
}

// sin(2 pi x) = cos(2 pi (f - 1/4)), f = x less its nearest integer.
inline Vd Sin2Pi(Vd x) {
  const Vd magic = Splat(kRoundMagic);
  const Vd f = x - ((x + magic) - magic);  // exact, |f| <= 1/2
  return Cos2Pi(f - 0.25);
}

// Samples per block: each pass over a block is a loop of independent
// evaluations, so the processor overlaps their long chains of dependent
// operations; a block's values stay in the first-level cache.
constexpr int kBlock = 256;
constexpr int kBlockVectors = kBlock / kLanes;

// What every vector of one tone shares.
struct KernelConstants {
  Vd amplitude, k1, k2, k3, k4, ma, mb, magic, lane;
  double last;  // Count - 1, the divisor of t
};

inline KernelConstants ConstantsOf(const ToneFields& fields, std::int32_t Count) {
  KernelConstants c;
  c.last = static_cast<double>(Count) - 1.0;
  c.amplitude = Splat(32767.0 / 6.0);
  c.k1 = Splat(fields.Op * 30.0);
  c.k2 = Splat(fields.Md * 50.0);
  c.k3 = Splat(fields.Am * 80.0);
  c.k4 = Splat(fields.Bm * 120.0);
  c.ma = Splat(fields.Ma);
  c.mb = Splat(fields.Mb);
  c.magic = Splat(kRoundMagic);
  c.lane = Vd{};
  for (int l = 0; l < kLanes; ++l) c.lane[l] = l;
  return c;
}

// The double sums of `vectors` vectors of samples from `start`, the partials
// in their fixed order; `time` gets each vector's t.
__attribute__((always_inline)) inline void SumBlock(const KernelConstants& c, std::int64_t start,
                                                    int vectors, Vd* time, Vd* sum) {
  for (int v = 0; v < vectors; ++v) {
    const Vd t = (Splat(static_cast<double>(start + v * kLanes)) + c.lane) / c.last;
    time[v] = t;
    const Vd s = c.amplitude * Cos2Pi(t * c.k1) + c.amplitude * Cos2Pi(t * c.k2);
    sum[v] = (s + c.amplitude * Cos2Pi(t * c.k3)) + c.amplitude * Cos2Pi(t * c.k4);
  }
  for (int v = 0; v < vectors; ++v) {
    const Vd x5 = time[v] * c.ma;
    sum[v] = sum[v] + c.amplitude * Cos2Pi(Cos2Pi(x5) * x5);
  }
  for (int v = 0; v < vectors; ++v) {
    const Vd x6 = time[v] * c.mb;
    sum[v] = sum[v] + c.amplitude * Sin2Pi(Sin2Pi(x6) * x6);
  }
}

// Stores the `lanes` samples of the sum `s` at `base` (Count - base of them
// lie inside the tone) and their 16-bit values; returns how many lie within
// the error bound of a rounding boundary, each recomputed by `fallback`
// when there is one.
__attribute__((always_inline)) inline std::int32_t StoreVector(
    const KernelConstants& c, const ToneFields& fields, Vd s, std::int64_t base, std::int64_t lanes,
    double* Samples, std::int16_t* Pcm, ToneFallback fallback) {
  // Nearest integer, halves to even, as the reference rounds; |s| < 2^15.
  const Vd nearest = (s + c.magic) - c.magic;
  const Vi nearHalf = Abs(Abs(s - nearest) - 0.5) <= ToneErrorBound;
  Vd clamped = nearest < -32768.0 ? Splat(-32768.0) : nearest;
  clamped = clamped > 32767.0 ? Splat(32767.0) : clamped;
  const Vi32 pcm = __builtin_convertvector(clamped, Vi32);
  if (lanes == kLanes) {
    __builtin_memcpy(Samples + base, &s, sizeof s);
    for (int l = 0; l < kLanes; ++l) Pcm[base + l] = static_cast<std::int16_t>(pcm[l]);
  } else {
    for (int l = 0; l < lanes; ++l) {
      Samples[base + l] = s[l];
      Pcm[base + l] = static_cast<std::int16_t>(pcm[l]);
    }
  }
  std::int64_t any = 0;
  for (int l = 0; l < kLanes; ++l) any |= nearHalf[l];
  if (any == 0) return 0;
  std::int32_t flagged = 0;
  for (int l = 0; l < lanes; ++l) {
    if (nearHalf[l] == 0) continue;
    ++flagged;
    if (fallback != nullptr) {
      const auto index = static_cast<std::int32_t>(base + l);
      Pcm[index] = fallback(fields, index, c.last, Samples + index);
    }
  }
  return flagged;
}

}  // namespace

std::int32_t TONE_KERNEL_NAME(const ToneFields& fields, std::int32_t Count, double* Samples,
                              std::int16_t* Pcm, ToneFallback fallback) {
  const KernelConstants c = ConstantsOf(fields, Count);
  Vd time[kBlockVectors];
  Vd sum[kBlockVectors];
  std::int32_t flagged = 0;
  for (std::int64_t start = 0; start < Count; start += kBlock) {
    const std::int64_t size = Count - start < kBlock ? Count - start : kBlock;
    const int vectors = (size + kLanes - 1) / kLanes;
    SumBlock(c, start, vectors, time, sum);
    for (int v = 0; v < vectors; ++v) {
      const std::int64_t base = start + v * kLanes;
      const std::int64_t lanes = Count - base < kLanes ? Count - base : kLanes;
      flagged += StoreVector(c, fields, sum[v], base, lanes, Samples, Pcm, fallback);
    }
  }
  return flagged;
}

}  // namespace tw
