#!/usr/bin/env bash
# The real sound path without sound hardware: the program on ALSA's ordinary
# "default" PCM, checked (a) byte for byte through ALSA's file plugin and (b)
# through a real sound server (a private PulseAudio with a null sink paced in
# real time), recorded from the sink's monitor.
set -euo pipefail
cd "$(dirname "$0")/../.."

# Only CI needs the sound server; users do not, so it is installed here.
bash tools/install-deps.sh pulseaudio pulseaudio-utils libasound2-plugins

program=./build/tonewell
battle=(examples/Countdown.red examples/Crawler.red 1000)
work=${KEEP_WORK:-$(mktemp -d)}
mkdir -p "$work"
trap 'pulse_stop 2>/dev/null || true; [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"' EXIT
unset TONEWELL_AUDIO ALSA_CONFIG_PATH

# What the battle must sound like: the same battle rendered to a WAV file.
TONEWELL_AUDIO="wav:$work/expected.wav" "$program" "${battle[@]}" >"$work/expected.out"
python3 tools/alsa/sound.py wav-data "$work/expected.wav" "$work/expected.raw"
echo "expected: $(python3 tools/alsa/sound.py seconds "$work/expected.raw") s of sound"

# (a) Exact: ALSA's "default" is a file plugin writing every frame to fd 3.
TONEWELL_AUDIO=alsa ALSA_CONFIG_PATH=tools/alsa/asound-file.conf "$program" "${battle[@]}" >"$work/file.out" \
  3>"$work/file.raw"
diff <(grep -v "^Seconds:" "$work/expected.out") <(grep -v "^Seconds:" "$work/file.out")
python3 tools/alsa/sound.py same "$work/expected.raw" "$work/file.raw"

# (b) A real sound server: the program on ALSA's "default" (the pulse
# plugin; plain `default` would pick the server's own client library), the
# sink's monitor recorded.
# shellcheck source=tools/alsa/private-pulse.sh
source tools/alsa/private-pulse.sh
pulse_start "$work/pulse"
pulse_record "$work/recorded.raw"
start=$(date +%s%N)
TONEWELL_AUDIO=alsa "$program" "${battle[@]}" >"$work/pulse.out"
end=$(date +%s%N)
pulse_record_stop
pulse_stop
diff <(grep -v '^Seconds:' "$work/expected.out") <(grep -v '^Seconds:' "$work/pulse.out")
python3 tools/alsa/sound.py heard "$work/expected.raw" "$work/recorded.raw"
python3 - "$start" "$end" "$(python3 tools/alsa/sound.py seconds "$work/expected.raw")" <<'PY'
import sys
wall = (int(sys.argv[2]) - int(sys.argv[1])) / 1e9
sound = float(sys.argv[3])
print(f"run {wall:.3f} s for {sound:.3f} s of sound: {wall / sound:.3f}")
if wall < sound:
    print("FAIL: the run was shorter than its sound: tones were reported played too early")
    sys.exit(1)
PY
echo "ALSA checks passed"
