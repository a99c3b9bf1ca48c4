#pragma once
// Rounded multiply-divide: Number * Numerator / Denominator computed with a
// 64-bit intermediate, the quotient rounded to the nearest integer with
// halves going away from zero. The millisecond/byte conversions of the wave
// code depend on this exact rounding (1 ms of 44100 Hz stereo 16-bit is
// 176.4 bytes, 5 ms are 882 bytes).

#include <cstdint>

namespace tw {

namespace detail {
// Product / Denominator rounded to nearest, halves away from zero, in Wide.
template <typename Wide>
constexpr Wide RoundedQuotient(Wide Product, Wide Denominator) {
  Wide quotient = Product / Denominator;
  const Wide remainder = Product % Denominator;
  const Wide absRemainder = remainder < 0 ? -remainder : remainder;
  const Wide absDenominator = Denominator < 0 ? -Denominator : Denominator;
  if (2 * absRemainder >= absDenominator) {
    quotient += ((Product < 0) != (Denominator < 0)) ? -1 : 1;
  }
  return quotient;
}
}  // namespace detail

// Returns the rounded quotient, or -1 when Denominator is 0 or the result
// does not fit a signed 32-bit integer.
constexpr int32_t MulDiv(int32_t Number, int32_t Numerator, int32_t Denominator) {
  if (Denominator == 0) return -1;
  const int64_t quotient =
      detail::RoundedQuotient<int64_t>(static_cast<int64_t>(Number) * Numerator, Denominator);
  if (quotient > INT32_MAX || quotient < INT32_MIN) return -1;
  return static_cast<int32_t>(quotient);
}

// The same rounding over 64-bit operands with a 128-bit intermediate, for
// conversions whose operands are full unsigned 32-bit values. Returns -1 when
// Denominator is 0; results beyond the 64-bit range are clamped to it.
constexpr int64_t MulDiv64(int64_t Number, int64_t Numerator, int64_t Denominator) {
  if (Denominator == 0) return -1;
  const __int128 quotient =
      detail::RoundedQuotient<__int128>(static_cast<__int128>(Number) * Numerator, Denominator);
  if (quotient > INT64_MAX) return INT64_MAX;
  if (quotient < INT64_MIN) return INT64_MIN;
  return static_cast<int64_t>(quotient);
}

}  // namespace tw
