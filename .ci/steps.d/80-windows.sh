#!/usr/bin/env bash
# The Windows build, cross-built here and run under Wine (headless, a private
# prefix made in the run):
#   - every test program passes (the corpus sample included);
#   - tonewell.exe gives the Linux build's standard output and exit status on
#     the same battles and failures, and its `wav:` recording is byte for
#     byte the Linux build's;
#   - on its default output (the system's waveOut device, which Wine plays
#     through ALSA, here into a private PulseAudio null sink paced like a
#     card) a short battle is heard to its end, every non-silent frame in
#     order, and the run lasts at least as long as its sound;
#   - the view in a real terminal (tmux; Wine's console draws on it):
#     tools/wine/tmux-view-check.sh, the console view's tests included;
#   - the release zip (make windows-zip): under 3 MB, unpacked into a fresh
#     prefix, the examples play from there by the first-run command.
# Needs the Linux build in build/ (`make test` before it).
set -euo pipefail
cd "$(dirname "$0")/../.."

# Only CI runs the Windows programs; the cross-build's own packages are
# installed by `make windows`.
bash tools/install-deps.sh wine64 pulseaudio pulseaudio-utils libasound2-plugins python3 tmux
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
linux=./build/tonewell
exe=./build-windows/tonewell.exe
work=${KEEP_WORK:-$(mktemp -d)}
mkdir -p "$work"
trap 'pulse_stop 2>/dev/null || true; "$wineserver" -k 2>/dev/null || true; [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"' EXIT

export WINEPREFIX=$work/prefix WINEDEBUG=-all
# No display, no desktop; Mono and Gecko are not wanted (and not installed).
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY TONEWELL_AUDIO ALSA_CONFIG_PATH
export TONEWELL_CORPUS=${TONEWELL_CORPUS:-$PWD/../shared/corpus}
start=$(date +%s)
# The prefixes are made while the programs build: the one everything runs
# in, and a fresh one for the release zip alone. Wine's sound goes through
# ALSA, whatever else the machine offers.
make_prefix() {
  WINEPREFIX=$1 "$wine" wineboot --init >/dev/null 2>&1
  WINEPREFIX=$1 "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Audio /d alsa /f >/dev/null 2>&1
  WINEPREFIX=$1 "$wineserver" -w
}
fresh=$work/fresh-prefix
(make_prefix "$WINEPREFIX" && make_prefix "$fresh") &
prefix_pid=$!
make windows
make windows-zip
# The console resizer of the view's checks (not part of the build).
x86_64-w64-mingw32-g++-posix -O2 -static -Wall -Wextra -Werror -o "$work/ResizeConsole.exe" \
  tools/wine/ResizeConsole.cpp
echo "=== make windows, windows-zip took $(($(date +%s) - start)) s"
wait "$prefix_pid"

# 1. The test programs. Without an ALSA device Wine has no waveOut device and
# the winmm tests skip; sound_tests runs below with one.
fail=0
# A test program that fails gets its failed tests run once more: a few tests
# time the paced cards' wake-ups, and Wine's are slower and more irregular
# than Linux's. A second pass is reported; a second failure fails the step.
run_tests() {
  local t=$1 log=$work/$1.log
  shift
  if (cd build-windows && env "$@" "$wine" "$t.exe" >"$log" 2>&1); then
    echo "$t: $(grep -E '^\[  PASSED  \]' "$log")"
    return 0
  fi
  local failed
  failed=$(sed -n 's/^\[  FAILED  \] \([^ ]*\) (.*/\1/p' "$log" | paste -sd:)
  if [ -n "$failed" ] && (cd build-windows &&
    env "$@" "$wine" "$t.exe" --gtest_filter="$failed" >"$log.again" 2>&1); then
    echo "$t: $(grep -E '^\[  PASSED  \]' "$log"), and on a second run $failed"
    grep -E -A4 '(^| )Failure$' "$log" | head -20
    return 0
  fi
  echo "$t FAILED under Wine:"
  grep -E -A10 '(^| )Failure$' "$log" | head -60
  grep -E '^\[  FAILED  \]' "$log"
  return 1
}
run_tests driver_tests >"$work/driver.status" 2>&1 &
driver_pid=$!
for t in runtime_tests platform_tests asm_tests core_tests audio_tests view_tests; do
  run_tests "$t" || fail=1
done
wait "$driver_pid" || fail=1
cat "$work/driver.status"
grep -q '^\[ corpus   \] [0-9]* battles compared' "$work/driver_tests.log" ||
  { echo "driver_tests did not compare the corpus (TONEWELL_CORPUS=$TONEWELL_CORPUS)"; fail=1; }
# The winmm tests on Wine's device: ALSA's "default" writes what Wine plays
# into a file, which the tests read back.
sed "s#@FILE@#$work/winmm-test.raw#" tools/wine/asound-capture.conf >"$work/asound-capture.conf"
run_tests sound_tests ALSA_CONFIG_PATH="$work/asound-capture.conf" \
  TONEWELL_WINMM_CAPTURE="$work/winmm-test.raw" || fail=1
grep -q '^\[  SKIPPED \]' "$work/sound_tests.log" &&
  { echo "sound_tests skipped tests: Wine had no sound device"; fail=1; }
[ "$fail" -eq 0 ] || exit 1

echo "=== test programs done at $(($(date +%s) - start)) s"

# 2. The same runs on both builds: standard output (but the time), exit
# status and, for the battles, the WAV recording.
same_run() {
  local name=$1
  shift
  local lin_status=0 win_status=0
  TONEWELL_AUDIO="wav:$work/$name.linux.wav" "$linux" "$@" >"$work/$name.linux.out" 2>/dev/null ||
    lin_status=$?
  TONEWELL_AUDIO="wav:$work/$name.windows.wav" "$wine" "$exe" "$@" >"$work/$name.windows.out" \
    2>/dev/null || win_status=$?
  if [ "$lin_status" -ne "$win_status" ]; then
    echo "$name: exit status $win_status on Windows, $lin_status on Linux"
    return 1
  fi
  if ! diff <(grep -v '^Seconds:' "$work/$name.linux.out") \
    <(grep -v '^Seconds:' "$work/$name.windows.out"); then
    echo "$name: standard output differs (above: < Linux, > Windows)"
    return 1
  fi
  if [ ! -e "$work/$name.linux.wav" ]; then
    if [ -e "$work/$name.windows.wav" ]; then
      echo "$name: a WAV recording on Windows only"
      return 1
    fi
    echo "$name: same output, exit status $lin_status, no recording on either"
  elif ! cmp "$work/$name.linux.wav" "$work/$name.windows.wav"; then
    echo "$name: the WAV recordings differ"
    return 1
  else
    echo "$name: same output, exit status $lin_status, WAV of" \
      "$(stat -c %s "$work/$name.linux.wav") bytes identical"
  fi
}
same_run bundled examples/Mice.red examples/Piper.red 1000 || fail=1
same_run short examples/Countdown.red examples/Crawler.red 1000 || fail=1
same_run silent examples/Countdown.red examples/Crawler.red 0 || fail=1
same_run odd-hex examples/Mice.red examples/Piper.red 0x13 || fail=1
same_run missing examples/Mice.red "$work/none.red" 1000 || fail=1
same_run bad-number examples/Mice.red examples/Piper.red 12x || fail=1
same_run one-sample examples/Mice.red examples/Piper.red 1 || fail=1
same_run negative examples/Mice.red examples/Piper.red -5 || fail=1
printf ';redcode-94\n;name Bad\n;author x\nMOV.I $0 $1\n' >"$work/bad.red"
same_run bad-warrior "$work/bad.red" examples/Piper.red 100 || fail=1
# A sample of corpus pairs (every 2900th row of the reference table and the
# pair in which both warriors die in the same cycle): the table's scores too.
table=$TONEWELL_CORPUS/expected_r1_F344.tsv
while IFS=$'\t' read -r w0 w1 score0 score1 _; do
  same_run "$w0-$w1" "$TONEWELL_CORPUS/$w0.red" "$TONEWELL_CORPUS/$w1.red" 20 || fail=1
  got=$(sed -n 's/^Warrior\[[01]\]\.Score: //p' "$work/$w0-$w1.windows.out" | paste -sd' ')
  if [ "$got" != "$score0 $score1" ]; then
    echo "$w0 vs $w1: scores $got on Windows, the table says $score0 $score1"
    fail=1
  fi
done < <(awk -F'\t' 'NR > 1 && (NR % 2900 == 2 || ($1 == "k94-typefourqs" && $2 == $1))' "$table")
[ "$fail" -eq 0 ] || exit 1

echo "=== comparisons done at $(($(date +%s) - start)) s"

# 3. Real time through Wine's waveOut: the program on its default output;
# Wine plays through ALSA, whose "default" here writes every frame into a
# file and on to a private PulseAudio server's null sink (paced like a card),
# whose monitor is recorded.
# shellcheck source=tools/alsa/private-pulse.sh
source tools/alsa/private-pulse.sh
battle=(examples/Countdown.red examples/Crawler.red 1000)
python3 tools/alsa/sound.py wav-data "$work/short.linux.wav" "$work/expected.raw"
sound=$(python3 tools/alsa/sound.py seconds "$work/expected.raw")
sed "s#@FILE@#$work/wine-alsa.raw#" tools/wine/asound-tee-pulse.conf >"$work/asound-tee.conf"
pulse_start "$work/pulse"
pulse_record "$work/recorded.raw"
t0=$(date +%s%N)
ALSA_CONFIG_PATH="$work/asound-tee.conf" "$wine" "$exe" "${battle[@]}" >"$work/winmm.out"
t1=$(date +%s%N)
pulse_record_stop
pulse_stop
diff <(grep -v '^Seconds:' "$work/short.linux.out") <(grep -v '^Seconds:' "$work/winmm.out")
echo -n "handed to ALSA by Wine: "
python3 tools/alsa/sound.py heard "$work/expected.raw" "$work/wine-alsa.raw"
echo -n "heard at the sink: "
python3 tools/alsa/sound.py heard "$work/expected.raw" "$work/recorded.raw"
seconds=$(sed -n 's/^Seconds: *//p' "$work/winmm.out")
python3 - "$t0" "$t1" "$sound" "$seconds" <<'PY'
import sys
wall = (int(sys.argv[2]) - int(sys.argv[1])) / 1e9
sound, battle = float(sys.argv[3]), float(sys.argv[4])
print(f"{sound:.3f} s of sound: the battle took {battle:.2f} s ({battle / sound:.3f}), "
      f"the run under Wine {wall:.3f} s")
# Wine's waveOut gives a buffer back by its audio client's clock, which runs
# ahead of the sink by what that client holds (battles 10-45 ms short of
# their sound were seen); a buffer cannot start before the one ahead of it
# has played, so that lead shortens the battle once, not per tone. A battle
# more than 60 ms shorter than its sound had tones reported too early (ours
# returning them before Wine does would cut seconds).
if battle < sound - 0.060:
    print("FAIL: the battle was shorter than its sound: tones were reported played too early")
    sys.exit(1)
PY
echo "=== waveOut done at $(($(date +%s) - start)) s"

# 4. The view in a real terminal, and the console view's tests on it.
bash tools/wine/tmux-view-check.sh "$exe" "$work/ResizeConsole.exe" build-windows/view_tests.exe
echo "=== view done at $(($(date +%s) - start)) s"

# 5. The release zip, unpacked into a fresh prefix: the examples play from
# the unpacked folder by the first-run command.
bash tools/wine/zip-check.sh tonewell-*-win64.zip "$fresh" "$work"
echo "Windows checks passed in $(($(date +%s) - start)) s"
