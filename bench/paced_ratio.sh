#!/usr/bin/env bash
# What real time costs the whole program on the paced null card: wall time
# divided by the battle's own sound (tones x N / 88200 s; 1.000 would be no
# gap at all between tones, and the card never lets it go below 1) and the
# program's CPU time as a share of its wall time, process start, warrior
# loading and exit included. Medians of RUNS runs per line, with the load
# average they ran under.
#   bench/paced_ratio.sh [RUNS] [N...]     (default 5 runs, N = 1000 and 100;
#                                           needs `make build`)
# Battles (202 tones each; a cycle's two tones come from the two warriors):
# - repeated: examples/Steps.red against itself, 2 distinct tones: the cost
#   of the road and the card alone, synthesis done once per tone.
# - distinct: examples/Fuse.red against examples/Seesaw.red, 202 distinct
#   tones: every tone is synthesized anew.
# Each line also gives the same battle on null:fast (no pacing): its wall
# time is what the program costs without waiting for the sound (start,
# synthesis, the road, exit), the share of the gap that real time does not
# explain.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1000 100)
program=${TONEWELL:-build/tonewell}
[ -x "$program" ] || { echo "$program is missing: run make build" >&2; exit 1; }

python3 - "$program" "$runs" "${sizes[@]}" <<'PY'
import os, resource, statistics, subprocess, sys, tempfile, time

program, runs, sizes = sys.argv[1], int(sys.argv[2]), [int(n) for n in sys.argv[3:]]
battles = [("repeated", "examples/Steps.red", "examples/Steps.red"),
           ("distinct", "examples/Fuse.red", "examples/Seesaw.red")]

def tone_count(a, b, n):
    # Rendered once to a WAV file: every tone is n samples of 16 bits.
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, "battle.wav")
        env = dict(os.environ, TONEWELL_AUDIO="wav:" + path)
        subprocess.run([program, a, b, str(n)], env=env, check=True, stdout=subprocess.DEVNULL)
        return (os.path.getsize(path) - 44) // (2 * n)

def run_once(audio, a, b, n):
    env = dict(os.environ, TONEWELL_AUDIO=audio)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    subprocess.run([program, a, b, str(n)], env=env, check=True, stdout=subprocess.DEVNULL)
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu

def median(xs):
    return statistics.median(xs)

print(f"{program}, {runs} runs per line")
print(f"load average before: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
for n in sizes:
    for name, a, b in battles:
        tones = tone_count(a, b, n)
        sound = tones * n / 88200
        paced, fast = [], []
        for _ in range(runs):  # interleaved, so both see the same load
            paced.append(run_once("null", a, b, n))
            fast.append(run_once("null:fast", a, b, n)[0])
        ratios = [w / sound for w, _ in paced]
        shares = [c / w for w, c in paced]
        gap = (median([w for w, _ in paced]) - sound) / tones * 1e6
        print(f"N={n:<5} {name:8} {tones} tones, sound {sound:.3f} s: "
              f"wall/sound median {median(ratios):.4f} "
              f"(min {min(ratios):.4f}, max {max(ratios):.4f}), "
              f"CPU {median(shares):.2%} of wall; "
              f"{gap:.0f} us per tone beyond its sound; "
              f"null:fast run {median(fast) * 1e3:.1f} ms")
print(f"load average after: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
PY
