#!/usr/bin/env bash
# The sound server output (TONEWELL_AUDIO=pulse, and default with a server)
# through real servers without sound hardware: a private PulseAudio and a
# private PipeWire with its pulse server, each with a null sink paced in real
# time whose monitor is recorded. Checks that every non-silent frame of the
# battle is heard in order, that no run is shorter than its sound, that a
# frozen server costs one bounded wait said once, that Ctrl-C ends a run
# on a frozen server within a second, and that a server that goes away
# ends the run with a report instead of a hang.
set -euo pipefail
cd "$(dirname "$0")/../.."
step_start=$(date +%s)

# Only CI needs the servers; users have their own.
bash tools/install-deps.sh pulseaudio pulseaudio-utils pipewire pipewire-bin wireplumber \
  libpipewire-0.3-modules dbus

program=./build/tonewell
battle=(examples/Countdown.red examples/Crawler.red 1000)
work=${KEEP_WORK:-$(mktemp -d)}
mkdir -p "$work"
# shellcheck source=tools/alsa/private-pulse.sh
source tools/alsa/private-pulse.sh
# shellcheck source=tools/pulse/private-pipewire.sh
source tools/pulse/private-pipewire.sh
trap 'pulse_stop 2>/dev/null || true; pipewire_stop 2>/dev/null || true;
      [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"' EXIT
unset TONEWELL_AUDIO ALSA_CONFIG_PATH

# The backend's own tests need a server to start; `make test` ran before the
# servers were installed, so they run here, also in the sanitizer builds of
# the earlier steps.
# shellcheck source=tools/pulse/server-tests.sh
source tools/pulse/server-tests.sh
server_unit_tests 'PrivatePulse*:Pulse*' "$work"

TONEWELL_AUDIO="wav:$work/expected.wav" "$program" "${battle[@]}" >"$work/expected.out"
python3 tools/alsa/sound.py wav-data "$work/expected.wav" "$work/expected.raw"
sound=$(python3 tools/alsa/sound.py seconds "$work/expected.raw")
echo "expected: $sound s of sound"

fail() {
  echo "FAIL: $*"
  for log in "$work"/*/server.log "$work"/pw/*.log; do [ -s "$log" ] && tail -20 "$log"; done
  exit 1
}

# Runs the battle on TONEWELL_AUDIO=$1 with the monitor recorded; checks its
# output, what was heard (when $2 is "exact") and that it was not shorter than
# its sound. Extra environment for the program follows in $3.
heard_run() {
  local setting=$1 exact=$2 name=${1:-default}
  name=${name//[^a-z]/_}
  pulse_record "$work/$name.raw"
  local start end
  start=$(date +%s%N)
  env TONEWELL_AUDIO="$setting" ${3:-} timeout 60 "$program" "${battle[@]}" >"$work/$name.out" \
    2>"$work/$name.err" 3>"$work/$name.alsa" || fail "$setting: exit status $?: $(cat "$work/$name.err")"
  end=$(date +%s%N)
  pulse_record_stop
  diff <(grep -v '^Seconds:' "$work/expected.out") <(grep -v '^Seconds:' "$work/$name.out") ||
    fail "$setting: other output than the WAV run"
  local lost ratio
  lost=$(python3 tools/alsa/sound.py lost "$work/expected.raw" "$work/$name.raw")
  ratio=$(python3 -c "print(f'{($end - $start) / 1e9 / $sound:.3f}')")
  echo "${setting:-default} on $(pactl info | sed -n 's/^Server Name: //p'): wall/sound $ratio," \
    "non-silent frames lost $lost, lines on stderr $(wc -l <"$work/$name.err")"
  python3 -c "import sys; sys.exit(0 if $ratio >= 1.0 else 1)" ||
    fail "$setting: the run was shorter than its sound: tones were reported played too early"
  if [ "$exact" = exact ]; then
    python3 tools/alsa/sound.py heard "$work/expected.raw" "$work/$name.raw" || fail "$setting: frames lost"
    [ ! -s "$work/$name.err" ] || fail "$setting: said on stderr: $(cat "$work/$name.err")"
  fi
}

# --- PulseAudio
pulse_start "$work/pa"
heard_run pulse exact
# default picks the server: ALSA's default (a file plugin here) gets nothing.
heard_run "" exact "ALSA_CONFIG_PATH=tools/alsa/asound-file.conf"
[ ! -s "$work/default.alsa" ] || fail "default played on ALSA although a server answered"

# A frozen server: the tone in flight ends after its bounded wait, said once;
# the battle goes on on a new stream once the server runs again.
TONEWELL_AUDIO=pulse timeout 60 "$program" "${battle[@]}" >"$work/frozen.out" 2>"$work/frozen.err" &
run=$!
sleep 1
kill -STOP "$PULSE_PID"
sleep 0.5
kill -CONT "$PULSE_PID"
wait "$run" || fail "frozen server: exit status $?: $(cat "$work/frozen.err")"
diff <(grep -v '^Seconds:' "$work/expected.out") <(grep -v '^Seconds:' "$work/frozen.out") ||
  fail "frozen server: other output than the WAV run"
grep -q 'a drain did not finish within' "$work/frozen.err" || fail "frozen server: nothing said"
[ "$(wc -l <"$work/frozen.err")" -eq 1 ] || fail "frozen server: said more than once"
echo "frozen server for 0.5 s: $(cat "$work/frozen.err")"

# Ctrl-C while the server is frozen ends the run within a second with its
# report line: while a tone waits for its drain, while the next one waits
# for a new server stream, and while connecting (pulse and default).
interrupted_run frozen-drain pulse "$PULSE_PID" 1 0.1 "$work" "${battle[@]}"
interrupted_run frozen-stream pulse "$PULSE_PID" 1 1.5 "$work" "${battle[@]}"
interrupted_run frozen-connect pulse "$PULSE_PID" 0 0.5 "$work" "${battle[@]}"
interrupted_run frozen-default "" "$PULSE_PID" 0 0.5 "$work" "${battle[@]}"

# A server that goes away: the cut tone is reported failed on stderr, the
# next open finds no server and ends the run with one report line.
TONEWELL_AUDIO=pulse timeout 20 "$program" "${battle[@]}" >"$work/gone.out" 2>"$work/gone.err" &
run=$!
sleep 1
{ kill -KILL "$PULSE_PID" && wait "$PULSE_PID"; } 2>/dev/null || true
status=0
wait "$run" || status=$?
[ "$status" -eq 1 ] || fail "server gone: exit status $status (1 expected; 124 is a hang)"
grep -q '^EWaveAudioSysError: PulseAudio server "unix:' "$work/gone.out" ||
  fail "server gone: no report line: $(tail -2 "$work/gone.out")"
grep -q '^Exception EWaveAudioSysError in module' "$work/gone.err" ||
  fail "server gone: no failed-tone report: $(cat "$work/gone.err")"
echo "server gone: $(tail -1 "$work/gone.out")"

# --- PipeWire 0.3 through its pulse server: a drain may never finish there
# (the server's read index freezes); every tone must still end within its
# bounded wait, said once. Frames lost are reported, not checked: the
# recorder on the monitor misses whole cycles at small quanta.
pipewire_start "$work/pw"
heard_run pulse lenient
[ "$(wc -l <"$work/pulse.err")" -le 1 ] || fail "PipeWire: said more than once: $(cat "$work/pulse.err")"
[ -s "$work/pulse.err" ] && echo "  said: $(cat "$work/pulse.err")"
pipewire_stop

echo "sound server checks passed in $(($(date +%s) - step_start)) s"
