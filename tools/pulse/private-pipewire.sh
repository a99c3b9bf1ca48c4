# Sourced by scripts that need PipeWire, as current desktops run it, without
# sound hardware and without touching any server of the machine.
#
#   pipewire_start DIR  starts a private D-Bus session bus, PipeWire with a
#                       null sink "tap" (monitor "tap.monitor"), WirePlumber
#                       and PipeWire's pulse server, all sockets in DIR;
#                       exports XDG_RUNTIME_DIR, PULSE_SERVER and
#                       PIPEWIRE_PIDS (the server processes, comma-separated).
#                       PW_GRAPH_RATE (default 44100) sets the graph's
#                       clock and the sink's rate (48000: streams of
#                       44100 Hz are resampled).
#   pipewire_record FILE  records what the sink "tap" plays into the WAV
#                       FILE (16-bit stereo at the graph's rate) in the
#                       background with PipeWire's own recorder, and with a
#                       second one into FILE-2.wav (without .wav): a
#                       recorder may miss a cycle on a busy machine, two
#                       seldom miss the same (tools/pulse/recordings.py).
#   pipewire_record_stop  stops it a second after the last sound (it keeps
#                       every frame when stopped with SIGINT).
#   pipewire_stop       stops them all.
# The recording helpers of tools/alsa/private-pulse.sh work on it too.
# Needs: pipewire pipewire-bin wireplumber libpipewire-0.3-modules dbus
# pulseaudio-utils.

pipewire_start() {
  local dir=$1 here i
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
  rm -rf "$dir"
  mkdir -p -m 700 "$dir" "$dir/config" "$dir/state"
  unset DBUS_SESSION_BUS_ADDRESS PIPEWIRE_REMOTE
  export XDG_RUNTIME_DIR=$dir XDG_CONFIG_HOME=$dir/config XDG_STATE_HOME=$dir/state
  export PULSE_SERVER=unix:$dir/pulse/native
  # WirePlumber 0.4 quits without a session bus: a private one on a socket.
  dbus-daemon --session --nofork --nopidfile --address="unix:path=$dir/bus" 2>"$dir/dbus.log" &
  PW_DBUS_PID=$!
  export DBUS_SESSION_BUS_ADDRESS=unix:path=$dir/bus
  for i in $(seq 100); do [ -S "$dir/bus" ] && break; sleep 0.05; done
  sed "s/44100/${PW_GRAPH_RATE:-44100}/g" "$here/pipewire.conf" >"$dir/pipewire.conf"
  PIPEWIRE_DEBUG=${PW_DEBUG:-2} pipewire -c "$dir/pipewire.conf" 2>"$dir/pipewire.log" &
  PW_DAEMON_PID=$!
  for i in $(seq 100); do [ -S "$dir/pipewire-0" ] && break; sleep 0.05; done
  if [ ! -S "$dir/pipewire-0" ]; then
    echo "private PipeWire did not start; its log:" >&2
    cat "$dir/pipewire.log" >&2
    return 1
  fi
  WIREPLUMBER_DEBUG=${WP_DEBUG:-2} wireplumber 2>"$dir/wireplumber.log" &
  PW_SESSION_PID=$!
  pipewire -c "$here/pipewire-pulse.conf" 2>"$dir/pipewire-pulse.log" &
  PW_PULSE_PID=$!
  for i in $(seq 400); do pactl info >/dev/null 2>&1 && break; sleep 0.05; done
  if ! pactl info >/dev/null 2>&1; then
    echo "PipeWire's pulse server did not start; its log:" >&2
    cat "$dir/pipewire-pulse.log" >&2
    return 1
  fi
  # WirePlumber picks the default sink a moment later: on a busy machine
  # several seconds later, and until then no stream is linked to it.
  for i in $(seq 400); do pactl info 2>/dev/null | grep -q 'Default Sink: tap' && break; sleep 0.05; done
  if ! pactl info 2>/dev/null | grep -q 'Default Sink: tap'; then
    echo "WirePlumber did not make tap the default sink; its log:" >&2
    cat "$dir/wireplumber.log" >&2
    return 1
  fi
  export PIPEWIRE_PIDS=$PW_DAEMON_PID,$PW_SESSION_PID,$PW_PULSE_PID
}

pipewire_record() {
  # A recorder writes its file on its real-time thread: into memory, so a
  # busy disk does not make it miss cycles; moved to FILE when stopped.
  PW_RECORD_FILE=$1
  PW_RECORD_TMP=$(mktemp -d -p /dev/shm tonewell-record.XXXXXX)
  PW_RECORD_PIDS=()
  local n i
  for n in 1 2; do
    pw-record --target tap -P '{ stream.capture.sink = true }' --format s16 --channels 2 \
      --rate "${PW_GRAPH_RATE:-44100}" "$PW_RECORD_TMP/$n.wav" 2>/dev/null &
    PW_RECORD_PIDS+=($!)
  done
  # Ready once both are linked to the sink's monitor (two ports each), and a
  # moment more for the links to start carrying sound: a battle started
  # before that loses its first cycle in both recordings.
  for i in $(seq 200); do
    [ "$(pw-link -l 2>/dev/null | grep -c -e '|-> pw-record:input_F[LR]')" -eq 4 ] && {
      sleep 0.3
      return 0
    }
    sleep 0.05
  done
  echo "pw-record did not connect to the private PipeWire" >&2
  return 1
}

pipewire_record_stop() {
  sleep 1
  kill -INT "${PW_RECORD_PIDS[@]}" 2>/dev/null || true
  wait "${PW_RECORD_PIDS[@]}" 2>/dev/null || true
  mv "$PW_RECORD_TMP/1.wav" "$PW_RECORD_FILE"
  mv "$PW_RECORD_TMP/2.wav" "${PW_RECORD_FILE%.wav}-2.wav"
  rm -rf "$PW_RECORD_TMP"
}

pipewire_stop() {
  local p
  for p in ${PW_PULSE_PID:-} ${PW_SESSION_PID:-} ${PW_DAEMON_PID:-} ${PW_DBUS_PID:-}; do
    kill "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
  done
}
