#!/usr/bin/env bash
# What starting the program costs: a one-cycle battle (two warriors that
# each die on their first instruction, two tones) on null:fast, beside a C++
# program that prints one line and, to show what a library costs at start,
# the same program linked with it: the terminal's (libncurses, which the
# program still loads at start), ALSA's and the resampler's (libasound,
# libsoxr with its OpenMP runtime: loaded only when an ALSA output or a
# format conversion to another rate first needs them). Runs alternate, side
# by side; medians of RUNS runs of each, in milliseconds, with the load
# average and which libraries the program loads at start (ldd). The cases
# run in another order each round.
#   bench/start_time.sh [RUNS]     (default 30; needs `make build` and c++)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-30}
program=${TONEWELL:-build/tonewell}
[ -x "$program" ] || { echo "$program is missing: run make build" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

printf ';redcode-94\nDAT.F $0, $0\n' >"$work/dies.red"
printf '#include <cstdio>\nint main() { std::puts("hello"); }\n' >"$work/hello.cpp"
c++ -O2 -o "$work/hello" "$work/hello.cpp"
for lib in asound soxr ncurses; do
  c++ -O2 -o "$work/hello-$lib" "$work/hello.cpp" -Wl,--no-as-needed "-l$lib" 2>/dev/null ||
    cp "$work/hello" "$work/hello-$lib"
done

python3 - "$runs" "$program" "$work" <<'PY'
import os, random, statistics, subprocess, sys, time
runs, program, work = int(sys.argv[1]), sys.argv[2], sys.argv[3]
cases = {
    'tonewell, one-cycle battle on null:fast': [program, f'{work}/dies.red', f'{work}/dies.red', '1000'],
    'C++ program printing one line': [f'{work}/hello'],
}
for lib in ('asound', 'soxr', 'ncurses'):
    cases[f'the same, linked with lib{lib}'] = [f'{work}/hello-{lib}']
env = dict(os.environ, TONEWELL_AUDIO='null:fast', TONEWELL_VIEW='off')
times = {name: [] for name in cases}
load = os.getloadavg()[0]
for _ in range(runs):
    # In another order each round: the first program of a round is slower.
    for name, argv in random.sample(list(cases.items()), len(cases)):
        start = time.perf_counter()
        subprocess.run(argv, env=env, stdout=subprocess.DEVNULL, check=True)
        times[name].append((time.perf_counter() - start) * 1000)
libs = subprocess.run(['ldd', program], capture_output=True, text=True).stdout
sound = sorted({l.split()[0] for l in libs.splitlines()
                if any(k in l for k in ('asound', 'pulse', 'pipewire', 'soxr'))})
everything = [l.split()[0] for l in libs.splitlines() if '=>' in l]
print(f'{runs} runs each, alternating; load average {load:.2f} before, {os.getloadavg()[0]:.2f} after')
base = statistics.median(times['C++ program printing one line'])
for name, t in times.items():
    med = statistics.median(t)
    print(f'{name:>42}: median {med:.2f} ms ({min(t):.2f}-{max(t):.2f}), {med - base:+.2f} ms')
print(f'sound and resampler libraries loaded at start: {", ".join(sound) if sound else "none"}')
print(f'all libraries loaded at start: {", ".join(everything)}')
PY
