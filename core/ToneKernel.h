#pragma once
// The vectorised evaluation of a tone in double precision, built once per
// instruction set (ToneKernel*.cpp), and the
// proof of its error bound.
//
// Each kernel computes, for samples i = 0 .. Count-1 of a tone with
// t = i / (Count - 1) (the same double division as the reference):
//   s = A cos2pi(t k1) + A cos2pi(t k2) + A cos2pi(t k3) + A cos2pi(t k4)
//     + A cos2pi(c x5) + A sin2pi(g x6)
// with k1..k4 = 30 op, 50 md, 80 am, 120 bm, x5 = t ma, c = cos2pi(x5),
// x6 = t mb, g = sin2pi(x6), A = fl(32767 / 6), every product and sum
// rounded to double, added left to right. cos2pi(x) = cos(2 pi x) and
// sin2pi(x) = sin(2 pi x) take their argument in cycles, so reducing it is
// exact however large it is:
//   m = nearest integer to 2x, r = x - m/2 (exact: a multiple of ulp(x) no
//   larger than |x|, and |r| <= 1/4), cos(2 pi x) = (-1)^m cos(2 pi r),
//   cos(2 pi r) by its Taylor polynomial in w = r^2 up to w^9, evaluated by
//   Estrin's scheme; sin2pi(x) = cos2pi(f - 1/4) with f = x less its nearest
//   integer (exact).
//
// Error bound. u = 2^-53, v = 2^-64 (the unit roundoffs of double and
// extended), A* = 32767/6, S = the exact sum of the six partials at the
// double t with the true pi, cos and sin. Then |fast - S| <= Ef and
// |reference - S| <= Er, so |fast - reference| <= Ef + Er <= ToneErrorBound.
//
// 1. cos2pi. Over |2 pi r| <= pi/2 the Taylor remainder after w^9 is at most
//    (pi/2)^20/20! < 3.44e-15 (alternating, decreasing terms). In Estrin's
//    scheme each term c_j w^j reaches the result through at most 11
//    roundings (c9 w + c8: 2, w^8: 7, the product and the last sum: 2), so the
//    evaluation errs by at most gamma_11 sum |c_j| w^j <= 11u/(1-11u)
//    cosh(pi/2) < 3.07e-15 (a fused step only removes roundings). The
//    coefficients, correctly rounded, add <= (u/2) cosh(pi/2), and
//    w = fl(r^2) adds <= (u/2) |w p'(w)| <= (u/2) (pi/4) sinh(pi/2); counted
//    as 2u cosh(pi/2) and 1.01u (pi/4) sinh(pi/2). The sign change is exact.
//    So |cos2pi(x) - cos(2 pi x)| <= Ec = 7.27e-15 for |x| < 2^50; sin2pi
//    adds the rounding of f - 1/4, at most u/2 cycles.
// 2. A harmonic of integer frequency k: x = fl(t k) errs by <= u k cycles, so
//    the partial errs by <= A*(Ec + 2 pi u k) + 2.01 u A* (A and the product
//    rounded). With k <= 930, 350, 560, 3720: at most 3.6e-9, 1.4e-9,
//    2.2e-9 and 1.43e-8 for partials 1 to 4.
// 3. Partial 5, m = ma <= 99: c errs by d = Ec + 2 pi u m; y = fl(c x5) errs
//    by <= m (d + 2.01u) cycles against cos(2 pi t m) t m; the partial errs by
//    <= A*(Ec + 2 pi m (d + 2.01u)) + 2.01 u A* < 2.61e-7. Partial 6 likewise
//    with d' = Ec + 2 pi u (m + 1/2) and u/2 more cycles in the outer phase:
//    < 2.62e-7.
// 4. Five double additions, each result below 2^15 in magnitude, round by at
//    most 2^-39 each. Ef < 5.43e-7.
// 5. The reference forms theta = (pi_x t) 2 and the products in extended
//    precision: an argument of 2 pi k t errs by <= 2 pi k 4.02v; the platform's
//    extended cos and sin are taken to err by at most 2^-60 (16 units in the
//    last place, several times their documented accuracy); the partials 5 and
//    6 err by <= A*(2^-60 + 2 pi m (dx + 4.02v)) with dx = 2^-60 + 2 pi m
//    3.01v; each of the six additions rounds once to extended (<= 2^-49) and
//    once to double (<= 2^-39). Er < 7.5e-10.
// Ef + Er < 5.44e-7 <= ToneErrorBound = 5.6e-7. The tests measure at most
// about half of it.
//
// Rounding decides the 16-bit sample only at half-integers (the clamp limits
// -32768.5 and 32767.5 round to -32768 and 32768, so clamping adds no other
// boundary): a fast value farther than ToneErrorBound from every
// half-integer rounds as the reference does. Those within it are flagged.

#include <cstdint>

namespace tw {

struct ToneFields;

// Computes the exact 16-bit sample `index` of a tone whose last sample has
// time index `last` (Count - 1), writes the extended-precision double to
// *sample and returns the converted value.
using ToneFallback = std::int16_t (*)(const ToneFields& fields, std::int32_t index, double last,
                                      double* sample);

// Evaluate samples 0 .. Count-1 (Count >= 2) into Samples and Pcm. A sample
// within ToneErrorBound of a half-integer is replaced by `fallback`, when
// one is given (Pcm then holds the exact value); without one it keeps the
// fast value and its rounding. Return the number of flagged samples.
std::int32_t RunToneKernelPortable(const ToneFields& fields, std::int32_t Count, double* Samples,
                                   std::int16_t* Pcm, ToneFallback fallback);
std::int32_t RunToneKernelAvx2Fma(const ToneFields& fields, std::int32_t Count, double* Samples,
                                  std::int16_t* Pcm, ToneFallback fallback);

}  // namespace tw
