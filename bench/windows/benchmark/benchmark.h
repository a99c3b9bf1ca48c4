#pragma once
// The part of the Google Benchmark interface our benchmarks use, for the
// Windows cross-build, where no build of that library exists (Debian ships
// it for Linux only, without its sources). A benchmark written for the
// library builds unchanged against this, and prints the same kind of rows:
// one per benchmark and argument set, with its time per iteration and its
// counters, as a table or (--benchmark_format=json, --benchmark_out=FILE)
// in the library's JSON layout, so the scripts that read the figures read
// these too.
//
// What it does not do: repetitions, complexity, templates, fixtures, threads,
// custom statistics. Flags: --benchmark_filter=REGEX, --benchmark_format=
// console|json, --benchmark_out=FILE, --benchmark_out_format=json,
// --benchmark_min_time=SECONDS (of a benchmark without a fixed count, 0.5).

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace benchmark {

enum TimeUnit { kNanosecond, kMicrosecond, kMillisecond, kSecond };

// A figure a benchmark reports beside its time.
struct Counter {
  Counter(double v = 0) : value(v) {}  // NOLINT: set from plain numbers
  double value;
};

class State {
 public:
  struct [[maybe_unused]] Value {};
  class Iterator {
   public:
    Iterator(State* state, std::int64_t left) : state_(state), left_(left) {}
    Value operator*() const { return {}; }
    void operator++() { --left_; }
    bool operator!=(const Iterator&) {
      if (left_ > 0) return true;
      state_->Stop();
      return false;
    }

   private:
    State* state_;
    std::int64_t left_;
  };

  State(std::int64_t iterations, std::vector<std::int64_t> args)
      : iterations_(iterations), args_(std::move(args)) {}

  // The loop of the timed iterations: the clocks run from its start to its end.
  Iterator begin();
  Iterator end() { return {this, 0}; }

  std::int64_t range(std::size_t i = 0) const { return i < args_.size() ? args_[i] : 0; }
  std::int64_t iterations() const { return iterations_; }
  void SetBytesProcessed(std::int64_t bytes) { bytes_ = bytes; }
  void SkipWithError(const char* message) {
    error_ = message;
    iterations_ = 0;
  }

  std::map<std::string, Counter> counters;

  // For the runner.
  double RealSeconds() const { return realSeconds_; }
  double CpuSeconds() const { return cpuSeconds_; }
  std::int64_t BytesProcessed() const { return bytes_; }
  const std::string& Error() const { return error_; }

 private:
  void Stop();

  std::int64_t iterations_;
  std::vector<std::int64_t> args_;
  std::int64_t bytes_ = 0;
  std::string error_;
  std::chrono::steady_clock::time_point realStart_;
  double cpuStart_ = 0;
  double realSeconds_ = 0;
  double cpuSeconds_ = 0;
};

// One registered benchmark and the argument sets it runs with.
class Benchmark {
 public:
  Benchmark(std::string name, std::function<void(State&)> run)
      : name_(std::move(name)), run_(std::move(run)) {}

  Benchmark* Arg(std::int64_t x) { return Args({x}); }
  Benchmark* Args(std::initializer_list<std::int64_t> xs) {
    argSets_.emplace_back(xs);
    return this;
  }
  Benchmark* Iterations(std::int64_t n) {
    iterations_ = n;
    return this;
  }
  Benchmark* Unit(TimeUnit unit) {
    unit_ = unit;
    return this;
  }
  Benchmark* UseRealTime() {
    realTime_ = true;
    return this;
  }
  Benchmark* Name(const std::string& name) {
    name_ = name;
    return this;
  }

  // For the runner.
  const std::string& BaseName() const { return name_; }
  const std::vector<std::vector<std::int64_t>>& ArgSets() const { return argSets_; }
  std::int64_t FixedIterations() const { return iterations_; }
  TimeUnit GetUnit() const { return unit_; }
  bool RealTime() const { return realTime_; }
  void Run(State& state) const { run_(state); }

 private:
  std::string name_;
  std::function<void(State&)> run_;
  std::vector<std::vector<std::int64_t>> argSets_;
  std::int64_t iterations_ = 0;  // 0: as many as fill the minimum time
  TimeUnit unit_ = kNanosecond;
  bool realTime_ = false;
};

Benchmark* RegisterBenchmark(const char* name, std::function<void(State&)> run);

void Initialize(int* argc, char** argv);
// True (after a message) when arguments other than the program's name were
// not understood.
bool ReportUnrecognizedArguments(int argc, char** argv);
// Runs every benchmark the filter selects; returns how many ran.
std::size_t RunSpecifiedBenchmarks();
void Shutdown();

template <class T>
inline void DoNotOptimize(T const& value) {
  asm volatile("" : : "r,m"(value) : "memory");
}

}  // namespace benchmark

#define TW_BENCHMARK_JOIN2(a, b) a##b
#define TW_BENCHMARK_JOIN(a, b) TW_BENCHMARK_JOIN2(a, b)
#define BENCHMARK(fn)                                                                          \
  [[maybe_unused]] static ::benchmark::Benchmark* TW_BENCHMARK_JOIN(tw_benchmark_, __LINE__) = \
      ::benchmark::RegisterBenchmark(#fn, fn)
#define BENCHMARK_MAIN()                                                \
  int main(int argc, char** argv) {                                     \
    ::benchmark::Initialize(&argc, argv);                               \
    if (::benchmark::ReportUnrecognizedArguments(argc, argv)) return 1; \
    ::benchmark::RunSpecifiedBenchmarks();                              \
    ::benchmark::Shutdown();                                            \
    return 0;                                                           \
  }
