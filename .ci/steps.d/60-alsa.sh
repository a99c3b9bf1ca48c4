#!/usr/bin/env bash
# The real sound path without sound hardware: the program on ALSA's ordinary
# "default" PCM, checked (a) byte for byte through ALSA's file plugin, (b)
# through a real sound server (a private PulseAudio with a null sink paced in
# real time), recorded from the sink's monitor, and (c) with that server
# frozen in the middle of the battle.
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

# The backend's thread and the stream's calls meet in its own tests: run them
# under ThreadSanitizer too, in the build of the earlier step.
if [ -x build-tsan/sound_tests ]; then
  TSAN_OPTIONS=halt_on_error=1 build-tsan/sound_tests --gtest_filter='Alsa*:Playback*' \
    >"$work/unit-tsan.log" 2>&1 || { cat "$work/unit-tsan.log"; echo "FAIL: ALSA tests under TSan"; exit 1; }
  echo "ALSA tests under TSan: $(grep -o '[0-9]* tests\? from [0-9]* test suites\? ran' "$work/unit-tsan.log")"
fi

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

# (c) The server frozen (SIGSTOP) in the middle of the battle: the plugin's
# calls never return. The tone in flight is given up after the 5-second
# watchdog, said once; the next open finds no answer within 5 s and ends the
# run with a report line naming the PCM. Ctrl-C at any moment of it ends the
# run at once. (SIGINT at its default: background jobs of a script ignore it.)
frozen_run() {
  local name=$1
  env --default-signal=INT TONEWELL_AUDIO=alsa timeout 60 "$program" "${battle[@]}" \
    >"$work/$name.out" 2>"$work/$name.err" &
  run=$!
  sleep 1
  kill -STOP "$PULSE_PID"
  frozen_at=$(date +%s%N)
}
thaw() {
  kill -CONT "$PULSE_PID"
  sleep 0.5
}
pulse_start "$work/pulse-frozen"
frozen_run frozen
status=0
wait "$run" || status=$?
took=$((($(date +%s%N) - frozen_at) / 1000000))
thaw
echo "frozen server: exit status $status after $took ms; $(tail -1 "$work/frozen.out")"
[ "$status" -eq 1 ] || { cat "$work/frozen.err"; echo "FAIL: frozen server: status $status (124: a hang)"; exit 1; }
grep -q '^EWaveAudioSysError: ALSA PCM "default": no answer within 5 s' "$work/frozen.out" ||
  { echo "FAIL: frozen server: no report line naming the PCM"; exit 1; }
[ "$(grep -c 'stopped responding' "$work/frozen.err")" -le 1 ] || { echo "FAIL: said more than once"; exit 1; }
[ "$took" -lt 20000 ] || { echo "FAIL: frozen server: $took ms, beyond the bounds"; exit 1; }
for wait_ms in 500 5500; do
  frozen_run "interrupted-$wait_ms"
  sleep "$(python3 -c "print($wait_ms / 1000)")"
  sent=$(date +%s%N)
  kill -INT "$run"
  status=0
  wait "$run" || status=$?
  took=$((($(date +%s%N) - sent) / 1000000))
  thaw
  echo "Ctrl-C $wait_ms ms into the freeze: exit status $status after $took ms"
  [ "$status" -eq 130 ] && [ "$took" -lt 1000 ] || { echo "FAIL: Ctrl-C while the server is frozen"; exit 1; }
  tail -1 "$work/interrupted-$wait_ms.out" | grep -q '^EControlC: ' || { echo "FAIL: no EControlC line"; exit 1; }
done
pulse_stop
echo "ALSA checks passed"
