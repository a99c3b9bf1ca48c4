#!/usr/bin/env bash
# The Windows release zip as a user gets it: unpacked into a Wine prefix
# nothing else ran in, the examples played from the unpacked folder by the
# first-run command.
#
#   tools/wine/zip-check.sh ZIP PREFIX WORK
#
# PREFIX is a fresh Wine prefix (its sound set to ALSA). WORK holds what
# .ci/steps.d/80-windows.sh made before: the Linux build's runs of the bundled
# battle (bundled.linux.out, .wav) and of the short one (short.linux.out) and
# that one's sound (expected.raw). Checked: the zip is under 3 MB and holds
# one folder with the programs, the examples, README.txt (the first run
# first) and LICENSE.txt with CR LF line ends; from that folder the bundled
# battle records the Linux build's WAV byte for byte with the same output,
# the short battle is heard through waveOut, frame for frame, and a source
# warrior assembles and fights as on Linux. Exits non-zero at the first
# difference, saying which.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
zip=$(realpath "$1")
export WINEPREFIX=$2
work=$(realpath "$3")
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
trap '"$wineserver" -k 2>/dev/null || true' EXIT
fail() {
  echo "FAIL (zip): $*"
  exit 1
}
same() { diff <(grep -v '^Seconds:' "$1") <(grep -v '^Seconds:' "$2") >/dev/null; }

size=$(stat -c %s "$zip")
[ "$size" -lt $((3 * 1024 * 1024)) ] || fail "$zip is $size bytes, not under 3 MB"
name=$(basename "$zip" .zip)
home=$WINEPREFIX/drive_c/Downloads
mkdir -p "$home"
python3 -m zipfile -e "$zip" "$home"
folder=$home/$name
for f in tonewell.exe tonewell-asm.exe Mice.red Piper.red source/Carillon.red README.txt LICENSE.txt; do
  [ -f "$folder/$f" ] || fail "no $f in the zip's folder $name"
done
for f in README.txt LICENSE.txt; do
  grep -qv $'\r$' "$folder/$f" && fail "$f has lines without CR LF"
done
head -1 "$folder/README.txt" | grep -q '^First run on Windows' || fail "README.txt does not open with the first run"
cd "$folder"

# The first-run command, recording: the Linux build's bytes.
TONEWELL_AUDIO=wav:battle.wav "$wine" tonewell.exe Mice.red Piper.red 1000 >bundled.out 2>/dev/null ||
  fail "the bundled battle failed: $(cat bundled.out)"
same bundled.out "$work/bundled.linux.out" || fail "the bundled battle's output differs from Linux's"
cmp -s battle.wav "$work/bundled.linux.wav" || fail "the bundled battle's WAV differs from Linux's"

# On the default output (waveOut, into a file through ALSA): heard in full.
sed "s#@FILE@#$folder/heard.raw#" "$root/tools/wine/asound-capture.conf" >asound.conf
ALSA_CONFIG_PATH=$folder/asound.conf "$wine" tonewell.exe Countdown.red Crawler.red 1000 \
  >short.out 2>/dev/null || fail "the short battle on waveOut failed: $(cat short.out)"
same short.out "$work/short.linux.out" || fail "the short battle's output differs from Linux's"
echo -n "zip: the short battle through waveOut: "
python3 "$root/tools/alsa/sound.py" heard "$work/expected.raw" heard.raw

# A source warrior: assembled and fought as on Linux.
"$wine" tonewell-asm.exe 'source\Carillon.red' >Carillon.load 2>/dev/null || fail "tonewell-asm failed"
"$root/build/tonewell-asm" "$root/examples/source/Carillon.red" >"$work/Carillon.linux.load"
cmp -s Carillon.load "$work/Carillon.linux.load" || fail "tonewell-asm.exe's load form differs from Linux's"
TONEWELL_REDCODE=source TONEWELL_AUDIO=null:fast "$wine" tonewell.exe 'source\Carillon.red' Piper.red 0 \
  >source.out 2>/dev/null || fail "the source battle failed: $(cat source.out)"
TONEWELL_REDCODE=source TONEWELL_AUDIO=null:fast "$root/build/tonewell" \
  "$root/examples/source/Carillon.red" "$root/examples/Piper.red" 0 >"$work/source.linux.out"
same source.out "$work/source.linux.out" || fail "the source battle's output differs from Linux's"
echo "zip: $name.zip, $size bytes: unpacked into a fresh prefix, the bundled battle recorded as on Linux, the short one heard through waveOut, a source warrior as on Linux"
