#!/usr/bin/env bash
# The whole program on a battle whose tones are all different, so that no
# tone is remembered and every one is synthesized: examples/Fuse.red (a
# countdown of 100 on the spot, then a DAT) against examples/Seesaw.red (two
# counters that hand the process to each other), 202 tones.
# Prints the tones (and how many are distinct), the sound's duration
# (tones x N / 88200 s), the wall and CPU time of each run, their medians,
# the median wall time as a share of the sound, and the load average.
#   bench/distinct_tones.sh [RUNS] [N] [AUDIO]   (defaults 7, 10000, null:fast;
#                                                 needs `make build`)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-7}
samples=${2:-10000}
audio=${3:-null:fast}
battle=(examples/Fuse.red examples/Seesaw.red "$samples")
[ -x build/tonewell ] || { echo "build/tonewell is missing: run make build" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The battle's tones, recorded once.
TONEWELL_AUDIO="wav:$work/battle.wav" ./build/tonewell "${battle[@]}" >/dev/null
python3 - "$runs" "$samples" "$audio" "$work/battle.wav" "${battle[@]}" <<'PY'
import os, resource, statistics, subprocess, sys, time, wave
runs, samples, audio, recorded = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
battle = sys.argv[5:]
with wave.open(recorded) as w:
    data = w.readframes(w.getnframes())
tone_bytes = 2 * samples
tones = len(data) // tone_bytes
distinct = len({data[i * tone_bytes:(i + 1) * tone_bytes] for i in range(tones)})
sound = tones * samples / 88200
print(f"battle: {' '.join(battle)}: {tones} tones ({distinct} distinct), {sound:.3f} s of sound")
print(f"load average before: {' '.join(open('/proc/loadavg').read().split()[:3])}")
env = dict(os.environ, TONEWELL_AUDIO=audio)
walls, cpus = [], []
for i in range(runs):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    subprocess.run(['./build/tonewell', *battle], check=True, stdout=subprocess.DEVNULL, env=env)
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    walls.append(wall)
    cpus.append(cpu)
    print(f"  run {i + 1} on {audio}: wall {wall * 1000:.1f} ms = {wall / sound:.2%} of the sound, "
          f"CPU {cpu * 1000:.1f} ms")
print(f"load average after: {' '.join(open('/proc/loadavg').read().split()[:3])}")
wall, cpu = statistics.median(walls), statistics.median(cpus)
print(f"median wall {wall * 1000:.1f} ms, median CPU {cpu * 1000:.1f} ms, "
      f"wall / sound {wall / sound:.4f} ({wall / sound:.2%})")
PY
