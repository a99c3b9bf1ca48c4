# Sourced by the CI steps of the sound-server outputs.
#
#   server_unit_tests FILTER WORK  runs sound_tests --gtest_filter=FILTER in
#                       every build that has it (build, and the sanitizer
#                       builds of the earlier steps), logs in WORK; exits
#                       the step when one fails or skips (their servers
#                       were installed after `make test` ran, so here they
#                       must run).
server_unit_tests() {
  local filter=$1 work=$2 build log
  for build in build build-sanitize build-tsan; do
    [ -x "$build/sound_tests" ] || continue
    log=$work/unit-$build.log
    TSAN_OPTIONS=halt_on_error=1 "$build/sound_tests" --gtest_filter="$filter" >"$log" 2>&1 ||
      { cat "$log"; echo "FAIL: $build"; exit 1; }
    grep -q SKIPPED "$log" && { cat "$log"; exit 1; }
    echo "$build: $(grep -o '[0-9]* tests\? from [0-9]* test suites\? ran' "$log")"
  done
}

#   interrupted_run NAME SETTING PID FREEZE_S WAIT_S WORK BATTLE...
#                       plays BATTLE on TONEWELL_AUDIO=SETTING, stops the
#                       server process PID (SIGSTOP) FREEZE_S seconds in,
#                       sends Ctrl-C (SIGINT) WAIT_S seconds into the
#                       freeze, resumes PID; exits the step unless the run
#                       ended within a second with status 130 and its
#                       EControlC line. Output in WORK/NAME.out and .err.
interrupted_run() {
  local name=$1 setting=$2 pid=$3 freeze=$4 wait=$5 work=$6 run sent status took
  shift 6
  # SIGINT at its default: background jobs of a script ignore it.
  env --default-signal=INT TONEWELL_AUDIO="$setting" timeout 30 ./build/tonewell "$@" \
    >"$work/$name.out" 2>"$work/$name.err" &
  run=$!
  sleep "$freeze"
  kill -STOP "$pid"
  sleep "$wait"
  sent=$(date +%s%N)
  kill -INT "$run"
  status=0
  wait "$run" || status=$?
  took=$((($(date +%s%N) - sent) / 1000000))
  kill -CONT "$pid"
  echo "Ctrl-C ${wait} s into a freeze at ${freeze} s (${setting:-default}): status $status after $took ms;" \
    "$(tail -1 "$work/$name.out")"
  if [ "$status" -ne 130 ] || [ "$took" -ge 1000 ] || ! tail -1 "$work/$name.out" | grep -q '^EControlC: '; then
    cat "$work/$name.err"
    echo "FAIL: Ctrl-C while the server is frozen"
    exit 1
  fi
  sleep 0.3  # the server catches up with what it missed
}
