#!/usr/bin/env bash
# What watching costs the battle: the bundled battle (examples/Mice.red
# against examples/Piper.red) on null:fast at N = 0, without a view and with
# the core and line views on a 100 x 30 pseudo-terminal (BM_ViewCost of
# build/bench/view_bench), the core view's frame times during long battles
# (BM_ViewFrames), and the time of one core-view frame at a few terminal
# sizes, also when most of the map changed at once (BM_Frame).
#   bench/view_ratio.sh [RUNS]        (default 5; needs `make build`)
#
# VIEW_BENCH names another command for the benchmark: for the Windows build
# under Wine, VIEW_BENCH="wine build-windows/bench/view_bench.exe" (`make
# windows-bench`), run in a terminal of 100 x 30 (Wine's console takes its
# size; frames at other sizes are then left out).
#
# Prints per run the cycles per second without a view and the speed of each
# view against it (the median of the ratios within that run), then the
# medians over the runs and the load average before and after. off2 is a
# second run without a view: how far two identical runs come apart on the
# machine at that time. *_cpu is the same ratio for the processor time of the
# battle's own thread, which the machine's other work hardly moves.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
read -r -a bench <<<"${VIEW_BENCH:-build/bench/view_bench}"
[ -n "${VIEW_BENCH:-}" ] || [ -x "${bench[0]}" ] || { echo "build first: make build" >&2; exit 1; }
# The library's notes on standard error are dropped; under Wine standard
# error stays the terminal, or Wine's console would not take the terminal's size.
notes=/dev/null
[ -z "${VIEW_BENCH:-}" ] || notes=/dev/tty
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for ((i = 1; i <= runs; i++)); do
  "${bench[@]}" --benchmark_filter='BM_ViewCost' --benchmark_format=json >"$work/run$i.json" 2>"$notes"
done
"${bench[@]}" --benchmark_filter='BM_ViewFrames' --benchmark_format=json >"$work/frames.json" 2>"$notes"
"${bench[@]}" --benchmark_filter='BM_Frame/' --benchmark_format=json >"$work/frame.json" 2>"$notes"
echo "load after:  $(cut -d' ' -f1-3 /proc/loadavg)"

python3 - "$work" "$runs" <<'EOF'
import json, statistics, sys
work, runs = sys.argv[1], int(sys.argv[2])
keys = ["off_cycles_per_s", "core_vs_off", "line_vs_off", "plain_vs_off", "off2_vs_off",
        "core_cpu_vs_off", "line_cpu_vs_off", "core_frame_cpu_max_ms", "core_frame_max_ms"]
rows = []
for i in range(1, runs + 1):
    b = json.load(open(f"{work}/run{i}.json"))["benchmarks"][0]
    rows.append([b[k] for k in keys])
    print(f"run {i}: " + "  ".join(f"{k}={v:.4g}" for k, v in zip(keys, rows[-1])))
print("median: " + "  ".join(f"{k}={statistics.median(r[j] for r in rows):.4g}"
                             for j, k in enumerate(keys)))
print("core-view frames during long battles (imp against dwarf, 80000 cycles at N = 0):")
for b in json.load(open(f"{work}/frames.json"))["benchmarks"]:
    if b.get("error_occurred"):
        continue
    cols, rows_ = b["name"].split("/")[1:3]
    print(f"  {cols:>3} x {rows_:<3} {b['frames']:.0f} frames: wall median {b['median_ms']:.2f} ms, "
          f"p99 {b['p99_ms']:.2f}, max {b['max_ms']:.2f}; processor median "
          f"{b['cpu_median_ms']:.2f} ms, p99 {b['cpu_p99_ms']:.2f}, max {b['cpu_max_ms']:.2f}")
print("one core-view frame (composition and output on a pseudo-terminal):")
for b in json.load(open(f"{work}/frame.json"))["benchmarks"]:
    if b.get("error_occurred"):
        continue
    cols, rows_, changed = b["name"].split("/")[1:4]
    what = "most of the map changed" if changed == "1" else "one frame's worth of change"
    print(f"  {cols:>3} x {rows_:<3} {what:28} cpu {b['cpu_time']/1000:.2f} ms  "
          f"wall {b['real_time']/1000:.2f} ms  {b.get('bytes_per_frame', 0):.0f} bytes")
EOF
