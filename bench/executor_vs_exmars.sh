#!/usr/bin/env bash
# Our silent executor against exMARS, side by side in one run, on the battles
# of executor_bench: steps per second over whole 80000-cycle battles (both
# warriors survive, so every battle is 2 x 80000 steps), the ratio, and the
# load average; medians of RUNS runs.
#
#   bench/executor_vs_exmars.sh [-n RUNS] [-k REPEATS] EXMARS
#   EXMARS=PROGRAM bench/executor_vs_exmars.sh [-n RUNS] [-k REPEATS]
#
# EXMARS is an exMARS program you built yourself from its public source; this
# project neither ships nor builds it. In a checkout of exMARS:
#     gcc -O3 pmars.c pspace.c sim.c -o exmars
# Needs build/bench/executor_bench (cmake --build build --target executor_bench;
# EXECUTOR_BENCH=PATH for another) and the warrior corpus (TONEWELL_CORPUS, or
# ../shared/corpus beside the source tree), whose source/ folder holds the
# Redcode that exMARS reads.
#
# Ours: executor_bench's row of the battle (processor time in process, many
# battles). exMARS: one battle per process, so its figure is the processor time
# of REPEATS processes running 80000 cycles less that of REPEATS running 1
# cycle (start, assembly and exit cancel out), per battle. The two take turns
# in four slices per battle and run, so a change of the machine's load falls
# on both (ours: the median of its four slices). Both run the same
# battle: the first warrior at 0, the second at 344, one round, core 8000,
# 8000 processes, P-space; exMARS's result must be the tie ours gives, or the
# script stops. Within a run, each battle is measured on ours, then on exMARS.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  sed -n '7,16p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

runs=5
repeats=100
while getopts "n:k:h" opt; do
  case $opt in
    n) runs=$OPTARG ;;
    k) repeats=$OPTARG ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
exmars=${1:-${EXMARS:-}}
[ -n "$exmars" ] || usage
[ -x "$exmars" ] || { echo "not an executable program: $exmars" >&2; exit 2; }
bench=${EXECUTOR_BENCH:-build/bench/executor_bench}
[ -x "$bench" ] || { echo "$bench is missing: build the executor_bench target" >&2; exit 2; }
corpus=${TONEWELL_CORPUS:-../shared/corpus}
[ -d "$corpus/source" ] || { echo "no corpus sources in $corpus/source (set TONEWELL_CORPUS)" >&2; exit 2; }

python3 - "$bench" "$exmars" "$corpus/source" "$runs" "$repeats" <<'PY'
import json, os, resource, statistics, subprocess, sys, tempfile

bench, exmars, sources, runs, repeats = sys.argv[1:4] + [int(x) for x in sys.argv[4:6]]
CYCLES = 80000
STEPS = 2 * CYCLES
SLICES = 4
# (executor_bench row, first warrior, second warrior); None: the imp below.
BATTLES = [
    ("BM_CorpusPair/papers_first_vs_human", "fsh-pap-first", "fsh-pap-human"),
    ("BM_CorpusPair/papers_slime_vs_sos", "fsh-pap-slime", "fsh-pap-sos"),
    ("BM_CorpusPair/papers_phat_vs_teenage", "fsh-pap-phat", "fsh-pap-teenage"),
    ("BM_CorpusPair/stone_zorca_vs_scanner_recon2", "fsh-stn-zorca", "fsh-scn-recon2"),
    ("BM_ImpVersusImp", None, None),
]
work = tempfile.mkdtemp()
imp = os.path.join(work, "imp.red")
with open(imp, "w") as f:
    f.write(";redcode-94\n;name imp\n;assert 1\nMOV.I $0, $1\nEND\n")

def warrior(name):
    return imp if name is None else os.path.join(sources, name + ".red")

def exmars_command(cycles, w0, w1):
    return [exmars, "-r", "1", "-c", str(cycles), "-F", "344", "-s", "8000",
            "-p", "8000", "-d", "100", warrior(w0), warrior(w1)]

def check_exmars(row, w0, w1):
    # exMARS prints "wins ties" per warrior: a tie is "0 1" on both lines.
    out = subprocess.run(exmars_command(CYCLES, w0, w1), capture_output=True, text=True)
    lines = [l.split() for l in out.stdout.splitlines() if l.strip()]
    if lines[-2:] != [["0", "1"], ["0", "1"]]:
        sys.exit(f"exMARS does not give the tie of {row}: {out.stdout!r} {out.stderr!r}")

def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime

def exmars_seconds(w0, w1, count):
    # Processor time of `count` battles of 80000 cycles less `count` of 1 cycle.
    spent = {CYCLES: 0.0, 1: 0.0}
    for _ in range(count):
        for cycles in (CYCLES, 1):
            before = children_cpu()
            subprocess.run(exmars_command(cycles, w0, w1), stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=True)
            spent[cycles] += children_cpu() - before
    return spent[CYCLES] - spent[1]

def ours_steps_per_second(row):
    out = subprocess.run([bench, f"--benchmark_filter=^{row}$", "--benchmark_format=json",
                          "--benchmark_min_time=0.1"], capture_output=True, text=True, check=True)
    rows = [b for b in json.loads(out.stdout)["benchmarks"] if b["name"] == row]
    if not rows or "error_message" in rows[0]:
        sys.exit(f"executor_bench could not run {row}: {out.stdout} {out.stderr}")
    return rows[0]["items_per_second"]

def side_by_side(row, w0, w1):
    # The machine's load changes within seconds, so the two are measured in
    # turns: SLICES slices of ours (the median is kept) between SLICES
    # slices of exMARS's battles (their time is added up).
    ours, theirs = [], 0.0
    for _ in range(SLICES):
        ours.append(ours_steps_per_second(row))
        theirs += exmars_seconds(w0, w1, max(1, repeats // SLICES))
    battles = SLICES * max(1, repeats // SLICES)
    return statistics.median(ours), (STEPS * battles / theirs if theirs > 0 else float("nan"))

def load():
    return " ".join(f"{x:.2f}" for x in os.getloadavg())

for row, w0, w1 in BATTLES:
    check_exmars(row, w0, w1)
print(f"{bench} against {exmars}: {runs} runs, exMARS {repeats} x 2 processes per battle and run")
print(f"load average before: {load()}")
figures = {row: [] for row, _, _ in BATTLES}
for run in range(1, runs + 1):
    for row, w0, w1 in BATTLES:
        ours, theirs = side_by_side(row, w0, w1)
        figures[row].append((ours, theirs))
        print(f"run {run}  {row:46} ours {ours / 1e6:7.1f} M/s  exMARS {theirs / 1e6:7.1f} M/s"
              f"  ratio {ours / theirs:5.2f}", flush=True)
print(f"load average after: {load()}")
print()
print(f"medians of {runs} runs, steps per second (M/s)")
print(f"{'battle':46} {'ours':>7} {'exMARS':>7} {'ratio':>6}")
for row, _, _ in BATTLES:
    ours = statistics.median(o for o, _ in figures[row])
    theirs = statistics.median(t for _, t in figures[row])
    ratio = statistics.median(o / t for o, t in figures[row])
    print(f"{row:46} {ours / 1e6:7.1f} {theirs / 1e6:7.1f} {ratio:6.2f}")
PY
