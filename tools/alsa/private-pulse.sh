# Sourced by scripts that need a real sound server without sound hardware.
#
#   pulse_start DIR   starts a private PulseAudio server with a null sink
#                     "tap" (its monitor "tap.monitor"), runtime files in DIR;
#                     exports XDG_RUNTIME_DIR and PULSE_SERVER so that clients,
#                     and ALSA's "default" through the pulse plugin, reach it.
#   pulse_record FILE starts recording the sink's monitor (s16le, 44100 Hz,
#                     stereo) into FILE in the background.
#   pulse_record_stop stops the recording (after letting the last sound in).
#   pulse_stop        stops the server.
# Needs: pulseaudio, pulseaudio-utils, libasound2-plugins.

pulse_start() {
  local dir=$1
  mkdir -p -m 700 "$dir"
  export XDG_RUNTIME_DIR=$dir PULSE_SERVER=unix:$dir/pulse.sock
  local here
  here=$(dirname "${BASH_SOURCE[0]}")
  sed "s#@RUNDIR@#$dir#" "$here/private-pulse.pa" >"$dir/server.pa"
  pulseaudio -n -F "$dir/server.pa" --daemonize=no --exit-idle-time=-1 --disallow-exit \
    --realtime=no --high-priority=no --use-pid-file=no --log-target=stderr 2>"$dir/server.log" &
  PULSE_PID=$!
  local i
  for i in $(seq 200); do
    pactl info >/dev/null 2>&1 && return 0
    kill -0 "$PULSE_PID" 2>/dev/null || break
    sleep 0.05
  done
  echo "private PulseAudio server did not start; its log:" >&2
  cat "$dir/server.log" >&2
  return 1
}

pulse_record() {
  parec -d tap.monitor --raw --format=s16le --rate=44100 --channels=2 --latency-msec=5 >"$1" &
  PAREC_PID=$!
  local i
  for i in $(seq 200); do
    [ -n "$(pactl list short source-outputs)" ] && return 0
    sleep 0.05
  done
  echo "parec did not connect to the private server" >&2
  return 1
}

pulse_record_stop() {
  sleep 0.3
  kill "$PAREC_PID" 2>/dev/null || true
  wait "$PAREC_PID" 2>/dev/null || true
}

pulse_stop() {
  kill "$PULSE_PID" 2>/dev/null || true
  wait "$PULSE_PID" 2>/dev/null || true
}
