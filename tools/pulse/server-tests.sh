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
