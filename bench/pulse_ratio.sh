#!/usr/bin/env bash
# Real-time cost of the sound through a real sound server: a private server
# with a null sink paced like a sound card, a battle of 302 tones at N = 1000
# (examples/Countdown.red against examples/Crawler.red). Per output setting
# and per case (nobody listening / a recorder on the sink's monitor), the
# median of RUNS runs of:
#   wall/sound  wall time divided by the sound's own duration (1.0: no gap
#               at all between tones)
#   client      the program's CPU time as a share of its wall time
#   server      the server's CPU time (all its processes) over the same wall
#   lost        non-silent frames of the battle missing from the recording
# and the load average before and after.
#
#   bench/pulse_ratio.sh [RUNS] [SERVER] [SETTING...]
#     RUNS     runs per case (default 3)
#     SERVER   pulseaudio (default), pipewire (the PipeWire daemon with its
#              pulse server, graph at 44100 Hz) or pipewire48000 (the same
#              with the graph at 48000 Hz: streams of 44100 Hz resampled)
#     SETTING  TONEWELL_AUDIO values to compare (default: pulse default alsa)
#   N=100 bench/pulse_ratio.sh ...   tones of N samples (default 1000)
#   TONEWELL=PATH bench/pulse_ratio.sh ...   another build of the program
# Needs `make build` and the packages pulseaudio pulseaudio-utils
# libasound2-plugins (pipewire: pipewire pipewire-bin wireplumber
# libpipewire-0.3-modules dbus). On PipeWire the recorder is PipeWire's own
# (two of them on the sink: a frame counts as lost when both miss it,
# tools/pulse/recordings.py); on a 48000 Hz graph frames are not compared.
#
# Figures: the README's sound server section. Where the time per tone went
# on `pulse` (timestamps in the backend, 302 tones, load average 6, 2 runs):
# - write to the server's drain answer: median 0.10-0.13 ms beyond the
#   tone's own 11.34 ms, sum 56-118 ms per battle;
# - drain answer to the buffer reported: 0.03 ms;
# - buffer reported to the program's close of the device: median 0.04 ms,
#   but 90th percentile 3.8-4.6 ms, sum 350-490 ms: the program's thread
#   waiting to be scheduled on a busy machine;
# - close to the next tone's open: median 0.03 ms, 90th percentile 1.5 ms.
# The same backend driven by a minimal loop (open, write, wait, close) gave
# 1.04-1.09 in the same conditions. Larger latencies lengthen the gap the
# server's sink block leaves between tones; smaller ones cost server CPU.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
server=${2:-pulseaudio}
shift $(($# > 2 ? 2 : $#))
settings=("$@")
[ ${#settings[@]} -gt 0 ] || settings=(pulse default alsa)
battle=(examples/Countdown.red examples/Crawler.red "${N:-1000}")
work=$(mktemp -d)
unset TONEWELL_AUDIO ALSA_CONFIG_PATH

program=${TONEWELL:-./build/tonewell}
TONEWELL_AUDIO="wav:$work/battle.wav" "$program" "${battle[@]}" >/dev/null
python3 tools/alsa/sound.py wav-data "$work/battle.wav" "$work/battle.raw"

# shellcheck source=tools/alsa/private-pulse.sh
source tools/alsa/private-pulse.sh
# shellcheck source=tools/pulse/private-pipewire.sh
source tools/pulse/private-pipewire.sh
case $server in
  pulseaudio)
    trap 'pulse_stop 2>/dev/null || true; rm -rf "$work"' EXIT
    pulse_start "$work/server"
    server_pids=$PULSE_PID
    ;;
  pipewire | pipewire48000)
    trap 'pipewire_stop 2>/dev/null || true; rm -rf "$work"' EXIT
    [ "$server" = pipewire ] || export PW_GRAPH_RATE=48000
    pipewire_start "$work/server"
    server_pids=$PIPEWIRE_PIDS
    ;;
  *)
    echo "unknown server $server (pulseaudio, pipewire or pipewire48000)" >&2
    exit 2
    ;;
esac
echo "server: $(pactl info | sed -n 's/^Server Name: //p')"

python3 - "$runs" "$server_pids" "$work" "$server" "$program" "${settings[*]}" "${battle[@]}" <<'PY'
import os, resource, statistics, subprocess, sys, time
runs, pids, work, server, program = (int(sys.argv[1]), sys.argv[2].split(','), sys.argv[3],
                                     sys.argv[4], sys.argv[5])
settings, battle = sys.argv[6].split(), sys.argv[7:]
expected = os.path.join(work, 'battle.raw')
sound = os.path.getsize(expected) / (4 * 44100)
tick = os.sysconf('SC_CLK_TCK')

def server_cpu():
    total = 0
    for pid in pids:
        with open(f'/proc/{pid}/stat') as f:
            fields = f.read().rsplit(')', 1)[1].split()
        total += int(fields[11]) + int(fields[12])
    return total / tick

def recorder_connected():
    if server != 'pulseaudio':
        # Both linked to the sink's monitor (two ports each), as
        # tools/pulse/private-pipewire.sh waits for them: a recorder linked
        # during the battle changes the graph under it.
        out = subprocess.run(['pw-link', '-l'], capture_output=True, text=True).stdout
        return sum('|-> pw-record:input_F' in line for line in out.splitlines()) == 4
    out = subprocess.run(['pactl', 'list', 'short', 'source-outputs'], capture_output=True, text=True)
    return bool(out.stdout.strip())

def start_recorders():
    if server == 'pulseaudio':
        raw = os.path.join(work, 'recorded.raw')
        return [(subprocess.Popen(['parec', '-d', 'tap.monitor', '--raw', '--format=s16le',
                                   '--rate=44100', '--channels=2', '--latency-msec=5'],
                                  stdout=open(raw, 'wb')), raw)]
    rate = '48000' if server == 'pipewire48000' else '44100'
    return [(subprocess.Popen(['pw-record', '--target', 'tap', '-P', '{ stream.capture.sink = true }',
                               '--format', 's16', '--channels', '2', '--rate', rate, path],
                              stderr=subprocess.DEVNULL), path)
            for path in (f'/dev/shm/tonewell-bench-{os.getpid()}-{n}.wav' for n in (1, 2))]

def lost_frames(recorders):
    expected = os.path.join(work, 'battle.raw')
    if server == 'pipewire48000':
        return 0  # resampled: frames are not the frames sent
    if server == 'pulseaudio':
        return int(subprocess.run(['python3', 'tools/alsa/sound.py', 'lost', expected, recorders[0][1]],
                                  capture_output=True, text=True, check=True).stdout)
    raws = []
    for _, path in recorders:
        subprocess.run(['python3', 'tools/alsa/sound.py', 'wav-data', path, path + '.raw'], check=True)
        raws.append(path + '.raw')
    out = subprocess.run(['python3', 'tools/pulse/recordings.py', 'heard', expected, *raws],
                         capture_output=True, text=True).stdout
    for path in [p for _, p in recorders] + raws:
        os.remove(path)
    return int(out.split('both ')[1].split()[0])

def run(setting, record):
    recorders = []
    if record:
        recorders = start_recorders()
        for _ in range(200):
            if recorder_connected():
                break
            time.sleep(0.05)
        time.sleep(0.2)
    env = dict(os.environ, TONEWELL_AUDIO=setting)
    before, srv = resource.getrusage(resource.RUSAGE_CHILDREN), server_cpu()
    start = time.monotonic()
    try:
        done = subprocess.run([program, *battle], env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, text=True, timeout=10 * sound + 10)
    except subprocess.TimeoutExpired:
        done = None
    wall = time.monotonic() - start
    srv = server_cpu() - srv
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    lost = None
    if recorders:
        time.sleep(1)
        for rec, _ in recorders:
            rec.send_signal(2)
            rec.wait()
        if done is not None:
            lost = lost_frames(recorders)
    if done is None:
        return None  # hung: stopped after ten times its sound
    if done.returncode != 0:
        sys.exit(f'{setting}: the program failed: {done.stderr}')
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    gaveup = done.stderr.count('a drain did not finish') + done.stderr.count('was not played within')
    return wall / sound, cpu / wall, srv / wall, lost, gaveup

print(f'battle: {" ".join(battle)}: {sound:.3f} s of sound; {runs} runs per case; '
      f'load average {os.getloadavg()[0]:.2f}')
for setting in settings:
    for record in (False, True):
        rows = []
        for _ in range(runs):
            row = run(setting, record)
            if row is None:
                break
            rows.append(row)
        if len(rows) < runs:
            print(f'{setting:>10} {"recorder" if record else "alone":>8}: HUNG, stopped after '
                  f'{10 * sound + 10:.0f} s (run {len(rows) + 1})', flush=True)
            continue
        ratio = [r[0] for r in rows]
        med = statistics.median
        line = (f'{setting:>10} {"recorder" if record else "alone":>8}: wall/sound {med(ratio):.3f} '
                f'({min(ratio):.3f}-{max(ratio):.3f}), client CPU {med([r[1] for r in rows]):.1%}, '
                f'server CPU {med([r[2] for r in rows]):.1%}')
        if record:
            line += f', frames lost {med([r[3] for r in rows]):.0f} (max {max(r[3] for r in rows)})'
        gaveup = sum(r[4] for r in rows)
        if gaveup:
            line += f', tones given up {gaveup}'
        print(line, flush=True)
print(f'load average after: {os.getloadavg()[0]:.2f}')
PY
