// The runner behind bench/windows/benchmark/benchmark.h: registration, the
// flags, the timed loop and the rows it prints.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>

#include "benchmark/benchmark.h"

namespace benchmark {
namespace {

struct Settings {
  std::string filter = ".";
  std::string format = "console";
  std::string out;
  double minSeconds = 0.5;
};

Settings& Flags() {
  static Settings settings;
  return settings;
}

std::vector<std::unique_ptr<Benchmark>>& Registered() {
  static std::vector<std::unique_ptr<Benchmark>> benchmarks;
  return benchmarks;
}

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Takes "--NAME=VALUE" into `value`; false when `arg` is another flag.
bool Flag(const char* arg, const char* name, std::string& value) {
  const std::size_t n = std::strlen(name);
  if (std::strncmp(arg, "--", 2) != 0 || std::strncmp(arg + 2, name, n) != 0 || arg[2 + n] != '=') {
    return false;
  }
  value = arg + 3 + n;
  return true;
}

struct Row {
  std::string name;
  std::int64_t iterations = 0;
  double realTime = 0;  // per iteration, in `unit`
  double cpuTime = 0;
  TimeUnit unit = kNanosecond;
  std::map<std::string, Counter> counters;
  double bytesPerSecond = 0;
  std::string error;
};

const char* UnitName(TimeUnit unit) {
  static const char* const kNames[] = {"ns", "us", "ms", "s"};
  return kNames[unit];
}

double PerSecond(TimeUnit unit) {
  static const double kScale[] = {1e9, 1e6, 1e3, 1};
  return kScale[unit];
}

std::string FullName(const Benchmark& b, const std::vector<std::int64_t>& args) {
  // Appended piece by piece: GCC 12 warns wrongly of overlapping copies in
  // "/" + std::to_string(...).
  std::string name = b.BaseName();
  for (const std::int64_t a : args) {
    name += '/';
    name += std::to_string(a);
  }
  if (b.FixedIterations() > 0) {
    name += "/iterations:";
    name += std::to_string(b.FixedIterations());
  }
  if (b.RealTime()) name += "/real_time";
  return name;
}

// Runs `b` with `args`: the fixed count, or more and more iterations until
// they fill the minimum time.
Row Measure(const Benchmark& b, const std::vector<std::int64_t>& args) {
  std::int64_t n = b.FixedIterations() > 0 ? b.FixedIterations() : 1;
  for (;;) {
    State state(n, args);
    b.Run(state);
    const double timed = b.RealTime() ? state.RealSeconds() : state.CpuSeconds();
    const bool enough = b.FixedIterations() > 0 || !state.Error().empty() ||
                        timed >= Flags().minSeconds || n >= 1000000000;
    if (enough) {
      Row row;
      row.iterations = state.iterations();
      row.unit = b.GetUnit();
      const double count = static_cast<double>(std::max<std::int64_t>(n, 1));
      row.realTime = state.RealSeconds() / count * PerSecond(row.unit);
      row.cpuTime = state.CpuSeconds() / count * PerSecond(row.unit);
      row.counters = state.counters;
      if (state.BytesProcessed() > 0 && state.RealSeconds() > 0) {
        row.bytesPerSecond = static_cast<double>(state.BytesProcessed()) / state.RealSeconds();
      }
      row.error = state.Error();
      return row;
    }
    const double wanted = static_cast<double>(n) * Flags().minSeconds * 1.4 / std::max(timed, 1e-9);
    n = static_cast<std::int64_t>(std::clamp(wanted, static_cast<double>(n + 1), n * 10.0));
  }
}

std::string Json(const std::vector<Row>& rows) {
  std::ostringstream out;
  out.precision(17);
  out << "{\n  \"benchmarks\": [";
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    out << (i ? "," : "") << "\n    {\n      \"name\": \"" << r.name << "\",\n"
        << "      \"run_name\": \"" << r.name << "\",\n      \"run_type\": \"iteration\",\n"
        << "      \"iterations\": " << r.iterations << ",\n      \"real_time\": " << r.realTime
        << ",\n      \"cpu_time\": " << r.cpuTime << ",\n      \"time_unit\": \""
        << UnitName(r.unit) << "\"";
    if (!r.error.empty()) {
      out << ",\n      \"error_occurred\": true,\n      \"error_message\": \"" << r.error << "\"";
    }
    if (r.bytesPerSecond > 0) out << ",\n      \"bytes_per_second\": " << r.bytesPerSecond;
    for (const auto& [key, counter] : r.counters) {
      out << ",\n      \"" << key << "\": " << counter.value;
    }
    out << "\n    }";
  }
  out << "\n  ]\n}\n";
  return out.str();
}

void PrintConsole(const Row& r) {
  if (!r.error.empty()) {
    std::printf("%-44s ERROR OCCURRED: '%s'\n", r.name.c_str(), r.error.c_str());
    return;
  }
  std::printf("%-44s %12.4g %-2s %12.4g %-2s %10lld", r.name.c_str(), r.realTime, UnitName(r.unit),
              r.cpuTime, UnitName(r.unit), static_cast<long long>(r.iterations));
  for (const auto& [key, counter] : r.counters) std::printf(" %s=%.6g", key.c_str(), counter.value);
  std::printf("\n");
  std::fflush(stdout);
}

}  // namespace

State::Iterator State::begin() {
  cpuStart_ = ThreadCpuSeconds();
  realStart_ = std::chrono::steady_clock::now();
  return {this, iterations_};
}

void State::Stop() {
  realSeconds_ =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - realStart_).count();
  cpuSeconds_ = ThreadCpuSeconds() - cpuStart_;
}

Benchmark* RegisterBenchmark(const char* name, std::function<void(State&)> run) {
  Registered().push_back(std::make_unique<Benchmark>(name, std::move(run)));
  return Registered().back().get();
}

void Initialize(int* argc, char** argv) {
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    std::string value;
    std::string ignored;
    if (Flag(argv[i], "benchmark_filter", Flags().filter) ||
        Flag(argv[i], "benchmark_format", Flags().format) ||
        Flag(argv[i], "benchmark_out", Flags().out) ||
        Flag(argv[i], "benchmark_out_format", ignored)) {
      continue;
    }
    if (Flag(argv[i], "benchmark_min_time", value)) {
      Flags().minSeconds = std::atof(value.c_str());
      continue;
    }
    argv[kept++] = argv[i];
  }
  *argc = kept;
}

bool ReportUnrecognizedArguments(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) std::fprintf(stderr, "unrecognized argument: %s\n", argv[i]);
  return argc > 1;
}

std::size_t RunSpecifiedBenchmarks() {
  const std::regex filter(Flags().filter);
  const bool json = Flags().format == "json";
  std::vector<Row> rows;
  for (const auto& b : Registered()) {
    std::vector<std::vector<std::int64_t>> sets = b->ArgSets();
    if (sets.empty()) sets.emplace_back();
    for (const auto& args : sets) {
      const std::string name = FullName(*b, args);
      if (!std::regex_search(name, filter)) continue;
      Row row = Measure(*b, args);
      row.name = name;
      if (!json) PrintConsole(row);
      rows.push_back(std::move(row));
    }
  }
  if (json) std::fputs(Json(rows).c_str(), stdout);
  if (!Flags().out.empty()) std::ofstream(Flags().out) << Json(rows);
  return rows.size();
}

void Shutdown() {}

}  // namespace benchmark
