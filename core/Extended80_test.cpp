// The software extended arithmetic against the machine's own: on x86 the
// long double is the x87 extended format, so every operation must give the
// same bits, and the tone's reference samples the same doubles.
#include "core/Extended80.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#if defined(TONEWELL_HAVE_QUADMATH)
#include <quadmath.h>
#endif

#include "core/ToneFormula.h"
#include "core/ToneKernel.h"
#include "core/ToneSynthesis.h"

#if LDBL_MANT_DIG == 64

namespace tw {
namespace {

Extended80 FromNative(long double x) {
  unsigned char bytes[sizeof(long double)] = {};
  std::memcpy(bytes, &x, sizeof x);
  std::uint64_t significand = 0;
  std::memcpy(&significand, bytes, 8);
  const unsigned top = bytes[8] | (bytes[9] << 8);
  return Extended80::FromParts((top & 0x8000u) != 0, static_cast<int>(top & 0x7FFFu) - 16383,
                               significand);
}

// Finite values over a wide range of exponents, either sign, with full
// 64-bit significands (and some short ones, where ties are common).
long double RandomNative(std::mt19937_64& random) {
  const std::uint64_t bits = random() | (std::uint64_t{1} << 63);
  const int exponent = static_cast<int>(random() % 81) - 40;
  long double x = std::ldexp(static_cast<long double>(bits), exponent - 63);
  if (random() % 4 == 0) x = std::round(x * 256) / 256;
  return random() % 2 ? -x : x;
}

TEST(Extended80Test, ArithmeticAndConversionsGiveTheMachinesBits) {
  std::mt19937_64 random(80);
  for (int i = 0; i < 200000; ++i) {
    const long double a = RandomNative(random);
    long double b = RandomNative(random);
    if (i % 7 == 0) b = -a;  // exact cancellation
    if (i % 11 == 0) b = a * (1 + std::ldexp(1.0L, -60));
    const Extended80 x = FromNative(a);
    const Extended80 y = FromNative(b);
    ASSERT_EQ(FromNative(a + b), x + y)
        << static_cast<double>(a) << " + " << static_cast<double>(b);
    ASSERT_EQ(FromNative(a - b), x - y);
    ASSERT_EQ(FromNative(a * b), x * y);
    if (b != 0) {
      ASSERT_EQ(FromNative(a / b), x / y);
    }
    ASSERT_EQ(static_cast<double>(a), static_cast<double>(x));
    const double d = static_cast<double>(b) * (i % 3 == 0 ? 1e-300 : 1.0);
    ASSERT_EQ(FromNative(d), Extended80(d));
    const int n = static_cast<int>(random());
    ASSERT_EQ(FromNative(static_cast<long double>(n)), Extended80(n));
  }
  EXPECT_EQ(FromNative(3.14159265358979323846264338327950288L), Extended80Pi());
  EXPECT_EQ(FromNative(static_cast<long double>(INT32_MIN)), Extended80(INT32_MIN));
  EXPECT_EQ(static_cast<double>(FromNative(std::ldexp(1.5L, -1074))), std::ldexp(1.0, -1073));
}

#if defined(TONEWELL_HAVE_QUADMATH)
// Correct rounding: the 113-bit library's value rounded to 64 bits agrees
// (its error is far below the distance to a rounding boundary but once in
// about 2^48 arguments). Arguments over the range a tone makes, many near a
// multiple of pi/2, where the reduction cancels most bits, and tiny ones.
TEST(Extended80Test, CosAndSinAreCorrectlyRounded) {
  std::mt19937_64 random(81);
  std::uniform_real_distribution<double> range(-24000, 24000);
  for (int i = 0; i < 100000; ++i) {
    long double x = range(random);
    if (i % 2 == 0) {
      x = static_cast<long double>(std::nearbyint(x / 1.5707963267948966)) *
          (3.14159265358979323846264338327950288L / 2);
    }
    x *= 1 + std::ldexp(static_cast<long double>(static_cast<int>(random() % 64) - 32), -64);
    if (i % 5 == 0) x = std::ldexp(x, -static_cast<int>(random() % 80) - 15);
    const Extended80 y = FromNative(x);
    const auto q = static_cast<__float128>(x);
    ASSERT_EQ(FromNative(static_cast<long double>(cosq(q))), cos(y)) << static_cast<double>(x);
    ASSERT_EQ(FromNative(static_cast<long double>(sinq(q))), sin(y)) << static_cast<double>(x);
  }
}
#endif

#if defined(__GLIBC__)
// Against the tones the Linux program makes (another C library's cosl may
// round its last bit otherwise). The fallback a target without the x87
// format runs: the same formulas in Extended80.
std::int16_t SoftFallback(const ToneFields& fields, std::int32_t index, double last,
                          double* sample) {
  const int f[6] = {fields.Op, fields.Md, fields.Am, fields.Bm, fields.Ma, fields.Mb};
  *sample = tone_formula::Sample(f, ToneTime(index, last), Extended80Pi());
  return ConvertToneSample(*sample);
}

// What counts: the 16-bit samples. (The C library's cosl is not always
// correctly rounded, so a double sample may differ in its last bit; a
// 16-bit sample only where that bit decides a half-integer.) Every tone of
// odd lengths, where t = 1/2 and 1/4 make samples that lie within a few
// units of a half-integer, and random cells at random lengths.
TEST(Extended80Test, TonesWithTheSoftFallbackEqualTheMachinesTones) {
  std::mt19937_64 random(82);
  std::vector<double> samples;
  std::vector<std::int16_t> expected;
  std::vector<std::int16_t> soft;
  std::int64_t recomputed = 0;
  auto compare = [&](const CoreCell& cell, std::int32_t n) {
    samples.resize(n);
    expected.resize(n);
    soft.resize(n);
    ComputeTonePcm(cell, samples.data(), expected.data(), n, ToneKernel::Portable);
    recomputed +=
        RunToneKernelPortable(ToneFieldsOf(cell), n, samples.data(), soft.data(), &SoftFallback);
    return expected == soft;
  };
  for (const std::int32_t n : {3, 5, 9, 17, 101, 1001}) {
    for (int ma = 0; ma < 100; ++ma) {
      CoreCell cell;
      cell.InstructionWord = static_cast<std::uint16_t>(random());
      cell.ANumber = static_cast<std::int16_t>(ma);
      cell.BNumber = static_cast<std::int16_t>(random() % CoreSize);
      ASSERT_TRUE(compare(cell, n)) << "N " << n << " word " << cell.InstructionWord;
    }
  }
  for (int i = 0; i < 3000; ++i) {
    CoreCell cell;
    cell.InstructionWord = static_cast<std::uint16_t>(random());
    cell.ANumber = static_cast<std::int16_t>(random() % CoreSize);
    cell.BNumber = static_cast<std::int16_t>(random() % CoreSize);
    const auto n = static_cast<std::int32_t>(2 + random() % 3000);
    ASSERT_TRUE(compare(cell, n)) << "N " << n << " word " << cell.InstructionWord;
  }
  EXPECT_GT(recomputed, 100);  // the fallback ran
}
#endif  // __GLIBC__

}  // namespace
}  // namespace tw

#endif
