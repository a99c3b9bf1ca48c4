#pragma once
// The arithmetic of the x87 extended format (a 64-bit significand with an
// explicit leading bit), done in software with integer operations, for
// targets whose long double is another format (WebAssembly's is 128-bit).
// The tone's reference samples are defined by extended-precision
// arithmetic; a few of them decide their 16-bit value by the last bit of
// that arithmetic, so another precision gives other samples.
//
// Every operation rounds its exact result once to 64 significant bits,
// to nearest with ties to even, as the x87 unit does at its default
// precision. Values are finite: there are no infinities or NaNs, and the
// exponent has no limit (the tone never comes near the format's range).
// cos and sin are correctly rounded (an intermediate of about 120 bits
// decides the rounding) for arguments below 2^40 in magnitude; larger ones
// raise EInvalidOp "Invalid floating point operation".

#include <cstdint>

namespace tw {

class Extended80 {
 public:
  constexpr Extended80() = default;
  // Exact: every double and every int is an extended value.
  Extended80(double value);  // NOLINT: converts implicitly, as long double does
  Extended80(int value);     // NOLINT

  // (-1)^negative * significand * 2^(exponent - 63); significand 0 is zero,
  // any other significand must have its top bit set.
  static Extended80 FromParts(bool negative, std::int32_t exponent, std::uint64_t significand);
  bool Negative() const { return negative_; }
  std::int32_t Exponent() const { return exponent_; }
  std::uint64_t Significand() const { return significand_; }

  // Rounded to nearest double, ties to even; beyond double's range: infinity.
  explicit operator double() const;

  friend Extended80 operator+(const Extended80& a, const Extended80& b);
  friend Extended80 operator-(const Extended80& a, const Extended80& b);
  friend Extended80 operator*(const Extended80& a, const Extended80& b);
  // b must not be zero (raises EInvalidOp "Invalid floating point operation").
  friend Extended80 operator/(const Extended80& a, const Extended80& b);
  friend Extended80 cos(const Extended80& x);
  friend Extended80 sin(const Extended80& x);

  friend bool operator==(const Extended80&, const Extended80&) = default;

 private:
  bool negative_ = false;
  std::int32_t exponent_ = 0;
  std::uint64_t significand_ = 0;
};

// pi rounded to the format: what the literal 3.14159265358979323846L is on
// an x87 target.
Extended80 Extended80Pi();

}  // namespace tw
