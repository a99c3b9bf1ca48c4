#!/usr/bin/env bash
# The Debian package as a user meets it: built with `make package`, checked by
# lintian, installed with apt-get, run from PATH on the installed examples,
# its manual page found and valid, then removed again without a trace.
set -euo pipefail
cd "$(dirname "$0")/../.."

bash tools/install-deps.sh lintian man-db
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

work=$(mktemp -d)
rm -f tonewell_*.deb
make package >/dev/null
deb=$(ls tonewell_*_*.deb)
echo "package: $deb"

# Every manual page renders without a warning.
for page in build/doc/*.1; do
  warnings=$(man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "FAIL: $page: $warnings"; exit 1; }
done

# lintian: errors fail the step; other tags are shown.
lintian -I "$deb" 2>&1 | grep -v "root privileges" | tee /tmp/lintian.out || true
if grep -q '^E:' /tmp/lintian.out; then
  echo "FAIL: lintian reports errors"
  exit 1
fi

$sudo apt-get install -y -qq "./$deb" >/dev/null
trap '$sudo apt-get remove -y -qq tonewell >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
[ "$(command -v tonewell)" = /usr/bin/tonewell ]
examples=/usr/share/tonewell/examples
out=$(TONEWELL_AUDIO=null:fast TONEWELL_VIEW=off tonewell "$examples/Mice.red" "$examples/Piper.red" 1000)
echo "$out"
grep -qx 'Tonewell [0-9.]*' <<<"$out"
grep -qx 'Warrior\[0\].Score: 3' <<<"$out"
grep -qx 'program finished' <<<"$out"
man -w tonewell
man -w tonewell-asm
# A published warrior in source form, assembled by the installed tonewell-asm.
tonewell-asm "$examples/source/Carillon.red" >"$work/carillon.red"
TONEWELL_AUDIO=null:fast TONEWELL_VIEW=off tonewell "$work/carillon.red" "$examples/Piper.red" 100 |
  grep -qx 'program finished'
for f in $(dpkg -L tonewell | grep '/bin/'); do [ -x "$f" ]; done

$sudo apt-get remove -y -qq tonewell >/dev/null
trap 'rm -rf "$work"' EXIT
left=$(dpkg -L tonewell 2>/dev/null | grep -E '^/usr/(bin|share/(tonewell|doc/tonewell|man/man1/tonewell))' || true)
[ -z "$left" ] || { echo "FAIL: left behind after removal: $left"; exit 1; }
[ ! -e /usr/bin/tonewell ] && [ ! -e /usr/share/tonewell ]
! man -w tonewell 2>/dev/null
! man -w tonewell-asm 2>/dev/null
echo "package checks passed"
