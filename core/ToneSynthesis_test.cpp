// The fast tone against its extended-precision definition, sample for
// sample: random cells and lengths, and every instruction word. By default a
// sample of each runs in a second or two; TONEWELL_TONE_PROOF=full runs the
// whole proof (over ten million random samples, and every word at every
// listed length), as CI does.

#include "core/ToneSynthesis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/ToneAudio.h"
#include "core/unit_core_utils.h"
#include "runtime/Exceptions.h"

namespace tw {
namespace {

bool FullProof() {
  const char* scale = std::getenv("TONEWELL_TONE_PROOF");
  return scale != nullptr && std::string(scale) == "full";
}

std::vector<ToneKernel> Kernels() {
  std::vector<ToneKernel> kernels{ToneKernel::Portable};
  if (ToneKernelAvailable(ToneKernel::Avx2Fma)) kernels.push_back(ToneKernel::Avx2Fma);
  return kernels;
}

const char* Name(ToneKernel kernel) {
  return kernel == ToneKernel::Avx2Fma ? "avx2+fma" : "portable";
}

// What one kernel did over many tones.
struct KernelTally {
  ToneKernel Kernel;
  long long Samples = 0;
  long long Recomputed = 0;
  long long Measured = 0;       // samples whose fast value alone was measured:
  long long FastOnlyWrong = 0;  // how many of them it would round wrongly
  double LargestError = 0;      // the largest |fast - reference| among them

  void Add(const KernelTally& other) {
    Samples += other.Samples;
    Recomputed += other.Recomputed;
    Measured += other.Measured;
    FastOnlyWrong += other.FastOnlyWrong;
    LargestError = std::max(LargestError, other.LargestError);
  }
  void Report(const std::string& what) const {
    std::printf("[ tone ] %s, %s: %lld samples, %lld recomputed (%.2e)", what.c_str(), Name(Kernel),
                Samples, Recomputed,
                Samples > 0 ? static_cast<double>(Recomputed) / static_cast<double>(Samples) : 0.0);
    if (Measured > 0) {
      std::printf(
          "; of %lld fast values, %lld would round wrongly alone, largest error %.3g = "
          "%.2f of the bound",
          Measured, FastOnlyWrong, LargestError, LargestError / ToneErrorBound);
    }
    std::printf("\n");
  }
};

std::vector<KernelTally> NewTallies() {
  std::vector<KernelTally> tallies;
  for (ToneKernel k : Kernels()) tallies.push_back(KernelTally{k});
  return tallies;
}

// Runs work(part) for part 0 and 1 on two threads (the proof is long and the
// parts independent) and merges their tallies.
template <class Work>
std::vector<KernelTally> InTwoParts(Work work) {
  std::vector<KernelTally> parts[2] = {NewTallies(), NewTallies()};
  std::thread other([&] { work(1, parts[1]); });
  work(0, parts[0]);
  other.join();
  for (size_t k = 0; k < parts[0].size(); ++k) parts[0][k].Add(parts[1][k]);
  return parts[0];
}

// Checks one kernel on one tone against the reference doubles and 16-bit
// samples: the exact path must give `expected`; with `fastToo` the fast
// values alone are measured against the bound as well. False after the first
// mismatch (reported).
bool CheckTone(const CoreCell& cell, int32_t n, const double* reference, const int16_t* expected,
               bool fastToo, KernelTally& tally, std::vector<double>& samples,
               std::vector<int16_t>& pcm) {
  samples.resize(n);
  pcm.resize(n);
  const int32_t recomputed = ComputeTonePcm(cell, samples.data(), pcm.data(), n, tally.Kernel);
  for (int32_t i = 0; i < n; ++i) {
    if (pcm[i] != expected[i] || ConvertToneSample(samples[i]) != pcm[i]) {
      ADD_FAILURE() << Name(tally.Kernel) << ": word " << cell.InstructionWord << " A "
                    << cell.ANumber << " B " << cell.BNumber << " N " << n << " sample " << i
                    << ": " << pcm[i] << " instead of " << expected[i];
      return false;
    }
  }
  tally.Samples += n;
  tally.Recomputed += recomputed;
  if (!fastToo) return true;
  EXPECT_EQ(ComputeFastTone(cell, samples.data(), pcm.data(), n, tally.Kernel), recomputed);
  tally.Measured += n;
  for (int32_t i = 0; i < n; ++i) {
    const double error = std::fabs(samples[i] - reference[i]);
    tally.LargestError = std::max(tally.LargestError, error);
    tally.FastOnlyWrong += pcm[i] != expected[i];
    if (error > ToneErrorBound) {
      ADD_FAILURE() << Name(tally.Kernel) << ": error " << error << " above the bound at word "
                    << cell.InstructionWord << " N " << n << " sample " << i;
      return false;
    }
  }
  return true;
}

// Lengths: the listed ones, short ones, and log-uniform ones up to 20000.
int32_t RandomLength(std::mt19937_64& random) {
  static const int32_t listed[] = {0, 2, 7, 1000, 100, 10000, 3, 999, 4097};
  switch (random() % 4) {
    case 0:
      return listed[random() % std::size(listed)];
    case 1:
      return 2 + static_cast<int32_t>(random() % 64);
    default:
      return static_cast<int32_t>(std::exp(
          std::uniform_real_distribution<double>(std::log(2.0), std::log(20000.0))(random)));
  }
}

TEST(ToneExactTest, RandomCellsAndLengthsMatchTheExtendedReference) {
  const long long wanted = FullProof() ? 10'000'000 : 150'000;
  struct Tone {
    CoreCell Cell;
    int32_t N;
  };
  std::vector<Tone> tones;
  std::mt19937_64 random(20240609);
  for (long long samples = 0; samples < wanted;) {
    Tone tone;
    tone.Cell.InstructionWord = static_cast<uint16_t>(random());
    tone.Cell.ANumber = static_cast<int16_t>(random());
    tone.Cell.BNumber = static_cast<int16_t>(random());
    tone.N = RandomLength(random);
    tones.push_back(tone);
    samples += tone.N;
  }
  const auto tallies = InTwoParts([&](int part, std::vector<KernelTally>& tally) {
    std::vector<double> reference, samples;
    std::vector<int16_t> expected, pcm;
    for (size_t k = part; k < tones.size(); k += 2) {
      const auto [cell, n] = tones[k];
      reference.resize(n);
      expected.resize(n);
      ComputeToneSamples(cell, reference.data(), n);
      ConvertToneSamples(reference.data(), expected.data(), n);
      for (KernelTally& t : tally) {
        if (!CheckTone(cell, n, reference.data(), expected.data(), true, t, samples, pcm)) return;
      }
    }
  });
  for (const KernelTally& tally : tallies) tally.Report("random cells");
  // Samples that lie on a half-integer (sums of partials at +-A, 3A = 16383.5)
  // or next to one are common; without the recomputation they round wrongly.
  EXPECT_GT(tallies.front().FastOnlyWrong, 0);
}

// Word w plays with A mod 100 = w mod 100 and B mod 100 = (w / 100) mod 100,
// so the first 10000 words meet every pair of numbers; the hundreds vary so
// that the modulo is exercised too.
CoreCell WordCell(uint32_t w) {
  CoreCell cell;
  cell.InstructionWord = static_cast<uint16_t>(w);
  cell.ANumber = static_cast<int16_t>(w % 100 + 100 * (w % 80));
  cell.BNumber = static_cast<int16_t>((w / 100) % 100 + 100 * ((w / 7) % 80));
  return cell;
}

// The extended partials of one length, each computed once per field value
// and sample: entry [field * n + i].
struct PartialTables {
  explicit PartialTables(int32_t n)
      : Op(32 * n), Md(8 * n), Am(8 * n), Bm(32 * n), Ma(100 * n), Mb(100 * n) {
    const double last = static_cast<double>(n) - 1.0;
    for (int32_t i = 0; i < n; ++i) {
      const double t = ToneTime(i, last);
      const long double theta = ExtendedTheta(t);
      for (int f = 0; f < 32; ++f) {
        Op[f * n + i] = ExtendedHarmonic(theta, f, 30);
        Bm[f * n + i] = ExtendedHarmonic(theta, f, 120);
      }
      for (int f = 0; f < 8; ++f) {
        Md[f * n + i] = ExtendedHarmonic(theta, f, 50);
        Am[f * n + i] = ExtendedHarmonic(theta, f, 80);
      }
      for (int m = 0; m < 100; ++m) {
        Ma[m * n + i] = ExtendedPhaseCos(theta, t, m);
        Mb[m * n + i] = ExtendedPhaseSin(theta, t, m);
      }
    }
  }
  std::vector<long double> Op, Md, Am, Bm, Ma, Mb;
};

// The running sum of ExtendedToneSample, one partial at a time over a whole
// tone: Sum[i] = AddTonePartial(Prior[i], Partials[i]).
void AddPartial(const double* prior, const long double* partials, int32_t n, double* sum) {
  for (int32_t i = 0; i < n; ++i) sum[i] = AddTonePartial(prior[i], partials[i]);
}

TEST(ToneExactTest, EveryWordMatchesTheExtendedReference) {
  const bool full = FullProof();
  const std::vector<int32_t> lengths = full
                                           ? std::vector<int32_t>{0, 2, 3, 7, 100, 999, 1000, 10000}
                                           : std::vector<int32_t>{0, 2, 7, 100};
  const ToneKernel chosen = DefaultToneKernel();
  for (const int32_t n : lengths) {
    const PartialTables tables(n);
    // The kernel the program runs sees every word; another kernel sees every
    // word up to N = 1000 and every 8th word beyond. Below the full proof,
    // lengths from 100 up run over every 16th word.
    const uint32_t step = !full && n >= 100 ? 16 : 1;
    const uint32_t otherStep = n > 1000 ? 8 : 1;
    const auto tallies = InTwoParts([&](int part, std::vector<KernelTally>& tally) {
      const std::vector<double> zero(n, 0.0);
      std::vector<double> s1(n), s2(n), s3(n), s4(n), s5(n), reference(n), samples;
      std::vector<int16_t> expected(n), pcm;
      // The words in the order of their fields, so that the running sums of
      // the first three partials are shared by the words that agree in them.
      for (int op = part; op < 32; op += 2) {
        AddPartial(zero.data(), tables.Op.data() + op * n, n, s1.data());
        for (int md = 0; md < 8; ++md) {
          AddPartial(s1.data(), tables.Md.data() + md * n, n, s2.data());
          for (int am = 0; am < 8; ++am) {
            AddPartial(s2.data(), tables.Am.data() + am * n, n, s3.data());
            for (int bm = 0; bm < 32; ++bm) {
              const uint32_t w = (op << 11) | (md << 8) | (bm << 3) | am;
              if (w % step != 0) continue;
              const CoreCell cell = WordCell(w);
              const ToneFields f = ToneFieldsOf(cell);
              AddPartial(s3.data(), tables.Bm.data() + bm * n, n, s4.data());
              AddPartial(s4.data(), tables.Ma.data() + f.Ma * n, n, s5.data());
              AddPartial(s5.data(), tables.Mb.data() + f.Mb * n, n, reference.data());
              ConvertToneSamples(reference.data(), expected.data(), n);
              if (n > 0 && w % 4099 == 0) {
                // The tables reproduce the reference routine bit for bit.
                std::vector<double> direct(n);
                ComputeToneSamples(cell, direct.data(), n);
                ASSERT_EQ(std::memcmp(direct.data(), reference.data(), n * sizeof(double)), 0) << w;
              }
              for (KernelTally& t : tally) {
                if (t.Kernel != chosen && w % otherStep != 0) continue;
                if (!CheckTone(cell, n, reference.data(), expected.data(), n <= 1000, t, samples,
                               pcm)) {
                  return;
                }
              }
            }
          }
        }
      }
    });
    for (const KernelTally& tally : tallies) {
      tally.Report("every word, N = " + std::to_string(n));
      const long long words = 65536 / step / (tally.Kernel == chosen ? 1 : otherStep);
      EXPECT_EQ(tally.Samples, words * n);
    }
  }
}

TEST(ToneExactTest, ASampleOnWhichDoubleArithmeticRoundsWronglyIsRecomputed) {
  // Plain double arithmetic gives sample 333 of this tone one step off.
  CoreCell cell;
  ParseRedcodeLine("SPL.B #7905, {0", cell);
  const int32_t n = 1000;
  std::vector<double> reference(n), samples(n);
  std::vector<int16_t> expected(n), pcm(n);
  ComputeToneSamples(cell, reference.data(), n);
  ConvertToneSamples(reference.data(), expected.data(), n);
  for (ToneKernel kernel : Kernels()) {
    ComputeFastTone(cell, samples.data(), pcm.data(), n, kernel);
    EXPECT_LE(std::fabs(std::fabs(samples[333] - std::nearbyint(samples[333])) - 0.5),
              ToneErrorBound)
        << Name(kernel) << ": the sample lies within the bound of a half-integer";
    EXPECT_GE(ComputeTonePcm(cell, samples.data(), pcm.data(), n, kernel), 1);
    EXPECT_EQ(pcm, expected) << Name(kernel);
    EXPECT_EQ(std::memcmp(&samples[333], &reference[333], sizeof(double)), 0)
        << "a recomputed sample holds the extended-precision value";
  }
  std::vector<int16_t> none(1);
  EXPECT_THROW(ComputeTonePcm(cell, samples.data(), none.data(), 1), EInvalidOp);
  EXPECT_EQ(ComputeTonePcm(cell, nullptr, nullptr, 0), 0);
}

}  // namespace
}  // namespace tw
