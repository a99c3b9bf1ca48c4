#include "core/Extended80.h"

#include <cmath>
#include <utility>

#include "runtime/Exceptions.h"

namespace tw {

namespace {

using U128 = unsigned __int128;

int TopBit(U128 v) {
  const auto hi = static_cast<std::uint64_t>(v >> 64);
  return hi != 0 ? 127 - __builtin_clzll(hi) : 63 - __builtin_clzll(static_cast<std::uint64_t>(v));
}

// The value m * 2^scale, plus a positive amount below m's last bit when
// `sticky`, rounded to 64 bits, ties to even. With `sticky`, m must have
// more than 65 significant bits, so the lost amount lies below the rounding
// position's half.
Extended80 Round(bool negative, U128 m, std::int32_t scale, bool sticky) {
  if (m == 0) return Extended80::FromParts(negative, 0, 0);
  const int top = TopBit(m);
  if (top <= 63) {
    return Extended80::FromParts(negative, scale + top,
                                 static_cast<std::uint64_t>(m) << (63 - top));
  }
  const int shift = top - 63;
  auto significand = static_cast<std::uint64_t>(m >> shift);
  const U128 rest = m & ((U128{1} << shift) - 1);
  const U128 half = U128{1} << (shift - 1);
  std::int32_t exponent = scale + top;
  if (rest > half || (rest == half && (sticky || (significand & 1) != 0))) {
    if (++significand == 0) {
      significand = std::uint64_t{1} << 63;
      ++exponent;
    }
  }
  return Extended80::FromParts(negative, exponent, significand);
}

// a * b as 256 bits: hi * 2^128 + lo.
void Multiply128(U128 a, U128 b, U128& hi, U128& lo) {
  const auto a0 = static_cast<std::uint64_t>(a);
  const auto a1 = static_cast<std::uint64_t>(a >> 64);
  const auto b0 = static_cast<std::uint64_t>(b);
  const auto b1 = static_cast<std::uint64_t>(b >> 64);
  const U128 p00 = U128{a0} * b0;
  const U128 p01 = U128{a0} * b1;
  const U128 p10 = U128{a1} * b0;
  const U128 p11 = U128{a1} * b1;
  const U128 mid = (p00 >> 64) + static_cast<std::uint64_t>(p01) + static_cast<std::uint64_t>(p10);
  lo = (mid << 64) | static_cast<std::uint64_t>(p00);
  hi = p11 + (p01 >> 64) + (p10 >> 64) + (mid >> 64);
}

// Fixed point with 127 fraction bits: 1 is 2^127.
constexpr U128 kOne127 = U128{1} << 127;

U128 MultiplyQ127(U128 a, U128 b) {
  U128 hi = 0;
  U128 lo = 0;
  Multiply128(a, b, hi, lo);
  return (hi << 1) | (lo >> 127);
}

// The Taylor coefficients 1/(2j)! (cosine) and 1/(2j+1)! (sine) in Q127, for
// |r| <= 1: the first term left out is below 2^-127.
constexpr int kTerms = 18;
struct SeriesTables {
  U128 Cos[kTerms];
  U128 Sin[kTerms];
  SeriesTables() {
    Cos[0] = kOne127;
    Sin[0] = kOne127;
    for (int j = 1; j < kTerms; ++j) {
      Cos[j] = Cos[j - 1] / static_cast<unsigned>((2 * j - 1) * (2 * j));
      Sin[j] = Sin[j - 1] / static_cast<unsigned>((2 * j) * (2 * j + 1));
    }
  }
};

U128 Series(const U128 (&c)[kTerms], U128 w) {
  U128 acc = c[kTerms - 1];
  for (int j = kTerms - 2; j >= 0; --j) acc = c[j] - MultiplyQ127(w, acc);
  return acc;
}

// |r| = Mantissa * 2^(Exponent - 127), Mantissa's top bit set (or 0), and
// x = Quadrant * pi/2 + r (mod 2 pi) with |r| below 1.
struct Reduced {
  int Quadrant = 0;
  bool Negative = false;
  std::int32_t Exponent = 0;
  U128 Mantissa = 0;
};

// pi/2 * 2^192, rounded: 193 bits, least significant 64 first.
constexpr std::uint64_t kHalfPi192[4] = {0x52049c1114cf98e8ull, 0x898cc51701b839a2ull,
                                         0x921fb54442d18469ull, 0x1ull};

// x - k pi/2 exactly to 2^-192 for |x| in [1, 2^40): X * 2^128 - k * P with
// X = |x| * 2^64 (an integer there) and P = pi/2 * 2^192, in 256 bits.
Reduced ReduceLarge(std::uint64_t significand, std::int32_t exponent) {
  const U128 x64 = U128{significand} << (exponent + 1);
  const double approx = std::ldexp(static_cast<double>(significand), exponent - 63);
  const auto k = static_cast<std::uint64_t>(std::nearbyint(approx * 0.63661977236758134308));
  std::uint64_t kp[4];
  U128 carry = 0;
  for (int i = 0; i < 4; ++i) {
    const U128 p = U128{kHalfPi192[i]} * k + carry;
    kp[i] = static_cast<std::uint64_t>(p);
    carry = p >> 64;
  }
  const std::uint64_t xl[4] = {0, 0, static_cast<std::uint64_t>(x64),
                               static_cast<std::uint64_t>(x64 >> 64)};
  std::uint64_t d[4];
  unsigned borrow = 0;
  for (int i = 0; i < 4; ++i) {
    const U128 sub = U128{kp[i]} + borrow;
    d[i] = xl[i] - static_cast<std::uint64_t>(sub);
    borrow = U128{xl[i]} < sub ? 1 : 0;
  }
  Reduced r;
  r.Quadrant = static_cast<int>(k & 3);
  r.Negative = borrow != 0;
  if (r.Negative) {  // two's complement negation
    unsigned c = 1;
    for (std::uint64_t& limb : d) {
      limb = ~limb + c;
      c = (c != 0 && limb == 0) ? 1 : 0;
    }
  }
  const U128 high = (U128{d[3]} << 64) | d[2];
  const U128 low = (U128{d[1]} << 64) | d[0];
  if (high == 0 && low == 0) return r;
  const int top = high != 0 ? 128 + TopBit(high) : TopBit(low);
  const int shift = top - 127;
  if (shift == 128) {
    r.Mantissa = high;
  } else if (shift > 0) {
    r.Mantissa = (high << (128 - shift)) | (low >> shift);
  } else {
    r.Mantissa = low << -shift;
  }
  r.Exponent = top - 192;
  return r;
}

Reduced Reduce(const Extended80& x) {
  if (x.Significand() == 0) return {};
  if (x.Exponent() >= 40) throw EInvalidOp("Invalid floating point operation");
  Reduced r;
  if (x.Exponent() >= 0) {
    r = ReduceLarge(x.Significand(), x.Exponent());
  } else {
    r.Mantissa = U128{x.Significand()} << 64;
    r.Exponent = x.Exponent();
  }
  return r;
}

// r^2 in Q127 (|r| < 1).
U128 Square127(const Reduced& r) {
  U128 hi = 0;
  U128 lo = 0;
  Multiply128(r.Mantissa, r.Mantissa, hi, lo);
  const int shift = -(2 * r.Exponent + 1);
  return shift >= 128 ? 0 : hi >> shift;
}

const SeriesTables& Tables() {
  static const SeriesTables tables;
  return tables;
}

Extended80 CosOfReduced(const Reduced& r) {
  if (r.Mantissa == 0) return Extended80(1);
  return Round(false, Series(Tables().Cos, Square127(r)), -127, false);
}

// sin |r|.
Extended80 SinOfReduced(const Reduced& r) {
  if (r.Mantissa == 0) return Extended80();
  U128 hi = 0;
  U128 lo = 0;
  Multiply128(r.Mantissa, Series(Tables().Sin, Square127(r)), hi, lo);
  return Round(false, hi, r.Exponent - 126, lo != 0);
}

Extended80 Negated(const Extended80& x) {
  return Extended80::FromParts(!x.Negative(), x.Exponent(), x.Significand());
}

Extended80 Add(const Extended80& x, const Extended80& y) {
  if (y.Significand() == 0) {
    return x.Significand() != 0 ? x : Extended80::FromParts(x.Negative() && y.Negative(), 0, 0);
  }
  if (x.Significand() == 0) return y;
  const Extended80* a = &x;
  const Extended80* b = &y;
  if (a->Exponent() < b->Exponent() ||
      (a->Exponent() == b->Exponent() && a->Significand() < b->Significand())) {
    std::swap(a, b);
  }
  // 62 bits below each significand: rounding after a cancellation still
  // has its guard bits, and what is shifted out is kept as one sticky bit
  // far below the rounding position.
  const std::int64_t d = static_cast<std::int64_t>(a->Exponent()) - b->Exponent();
  const U128 big = U128{a->Significand()} << 62;
  U128 small = U128{b->Significand()} << 62;
  if (d >= 126) {
    small = 1;
  } else if (d > 0) {
    const bool sticky = (small & ((U128{1} << d) - 1)) != 0;
    small = (small >> d) | (sticky ? 1 : 0);
  }
  const U128 m = a->Negative() == b->Negative() ? big + small : big - small;
  if (m == 0) return Extended80();
  return Round(a->Negative(), m, a->Exponent() - 63 - 62, false);
}

}  // namespace

Extended80::Extended80(double value) {
  negative_ = std::signbit(value);
  if (value == 0) return;
  int exponent = 0;
  const double fraction = std::frexp(std::fabs(value), &exponent);
  significand_ = static_cast<std::uint64_t>(std::ldexp(fraction, 64));
  exponent_ = exponent - 1;
}

Extended80::Extended80(int value) {
  negative_ = value < 0;
  const std::uint64_t magnitude =
      negative_ ? std::uint64_t{0} - static_cast<std::uint64_t>(static_cast<std::int64_t>(value))
                : static_cast<std::uint64_t>(value);
  if (magnitude == 0) return;
  const int top = 63 - __builtin_clzll(magnitude);
  significand_ = magnitude << (63 - top);
  exponent_ = top;
}

Extended80 Extended80::FromParts(bool negative, std::int32_t exponent, std::uint64_t significand) {
  Extended80 x;
  x.negative_ = negative;
  x.exponent_ = significand == 0 ? 0 : exponent;
  x.significand_ = significand;
  return x;
}

Extended80::operator double() const {
  if (significand_ == 0) return negative_ ? -0.0 : 0.0;
  // Below double's normal range fewer bits are kept.
  const std::int64_t bits = exponent_ >= -1022 ? 53 : 53 - (-1022 - std::int64_t{exponent_});
  if (bits < 0) return negative_ ? -0.0 : 0.0;
  const int drop = static_cast<int>(64 - bits);
  std::uint64_t keep = drop >= 64 ? 0 : significand_ >> drop;
  const U128 rest = U128{significand_} & ((U128{1} << drop) - 1);
  const U128 half = U128{1} << (drop - 1);
  if (rest > half || (rest == half && (keep & 1) != 0)) ++keep;
  const double magnitude = std::ldexp(static_cast<double>(keep), exponent_ - 63 + drop);
  return negative_ ? -magnitude : magnitude;
}

Extended80 operator+(const Extended80& a, const Extended80& b) { return Add(a, b); }

Extended80 operator-(const Extended80& a, const Extended80& b) { return Add(a, Negated(b)); }

Extended80 operator*(const Extended80& a, const Extended80& b) {
  const bool negative = a.negative_ != b.negative_;
  if (a.significand_ == 0 || b.significand_ == 0) return Extended80::FromParts(negative, 0, 0);
  return Round(negative, U128{a.significand_} * b.significand_, a.exponent_ + b.exponent_ - 126,
               false);
}

Extended80 operator/(const Extended80& a, const Extended80& b) {
  if (b.significand_ == 0) throw EInvalidOp("Invalid floating point operation");
  const bool negative = a.negative_ != b.negative_;
  if (a.significand_ == 0) return Extended80::FromParts(negative, 0, 0);
  // Two steps of long division give a quotient of 128 bits with its top bit
  // set; the remainder left is the sticky part.
  const int shift = a.significand_ >= b.significand_ ? 63 : 64;
  const U128 numerator = U128{a.significand_} << shift;
  const U128 high = numerator / b.significand_;
  const U128 low_numerator = (numerator % b.significand_) << 64;
  const U128 low = low_numerator / b.significand_;
  const bool sticky = low_numerator % b.significand_ != 0;
  return Round(negative, (high << 64) | low, a.exponent_ - b.exponent_ - shift - 64, sticky);
}

Extended80 cos(const Extended80& x) {
  const Reduced r = Reduce(x);
  switch (r.Quadrant) {
    case 0:
      return CosOfReduced(r);
    case 1:
      return r.Negative ? SinOfReduced(r) : Negated(SinOfReduced(r));
    case 2:
      return Negated(CosOfReduced(r));
    default:
      return r.Negative ? Negated(SinOfReduced(r)) : SinOfReduced(r);
  }
}

Extended80 sin(const Extended80& x) {
  if (x.significand_ == 0) return x;
  const Reduced r = Reduce(x);
  Extended80 magnitude;  // sin |x|
  switch (r.Quadrant) {
    case 0:
      magnitude = r.Negative ? Negated(SinOfReduced(r)) : SinOfReduced(r);
      break;
    case 1:
      magnitude = CosOfReduced(r);
      break;
    case 2:
      magnitude = r.Negative ? SinOfReduced(r) : Negated(SinOfReduced(r));
      break;
    default:
      magnitude = Negated(CosOfReduced(r));
      break;
  }
  return x.negative_ ? Negated(magnitude) : magnitude;
}

Extended80 Extended80Pi() { return Extended80::FromParts(false, 1, 0xc90fdaa22168c235ull); }

}  // namespace tw
