#!/usr/bin/env bash
# The Windows build's view as a person sees it, under Wine: tonewell.exe runs
# in a tmux pane (a real terminal, on which Wine's console draws), the pane's
# text is captured at a few moments and checked: the core view moves, names
# the warriors and the heard instruction, marks both, follows a resize; Ctrl-C
# ends it with 130 and the report line; standard output holds exactly the
# usual lines; a failure leaves its report line and no view; the line view;
# standard error in a file gets nothing.
#
#   tools/wine/tmux-view-check.sh TONEWELL.EXE RESIZECONSOLE.EXE [VIEW_TESTS.EXE]
#
# RESIZECONSOLE.EXE is tools/wine/ResizeConsole.cpp built for Windows: Wine's
# console learns its terminal's size only when it starts, so a resize of the
# pane is told to the console with it, as a Windows console window does
# itself. VIEW_TESTS.EXE, when given, runs its console cases in the pane
# first (they skip without a console). Needs tmux, Wine and a WINEPREFIX;
# exits non-zero at the first check that fails, saying which.
set -euo pipefail
cd "$(dirname "$0")/../.."
exe=$(realpath "$1")
resize=$(realpath "$2")
tests=${3:+$(realpath "$3")}
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
mice=$(realpath examples/Mice.red)
piper=$(realpath examples/Piper.red)
work=$(mktemp -d)
socket=tonewell-wine-view-$$
trap 'tmux -L "$socket" kill-server 2>/dev/null || true; rm -rf "$work"' EXIT
unset TONEWELL_VIEW TONEWELL_AUDIO
cd "$work"

tm() { tmux -L "$socket" -f /dev/null "$@"; }
pane() { tm capture-pane -p -t w; }
fail() {
  printf 'FAIL: %s\n--- pane:\n' "$*" >&2
  pane >&2 || true
  exit 1
}
run() { tm send-keys -t w -l "$1" && tm send-keys -t w Enter; }
# Runs the command given after the seconds until it succeeds; false after that long.
within() {
  local end=$(($(date +%s%N) + $1 * 1000000000))
  shift
  until "$@"; do
    [ "$(date +%s%N)" -lt "$end" ] || return 1
    sleep 0.1
  done
}
shows() { pane | grep -Eq "$1"; }
done_file() { [ -s "$1" ]; }
row() { pane | sed -n "$1p"; }
cycle() { row 1 | sed -nE 's/^Cycle ([0-9]+) of 80000.*/\1/p'; }
# The pane and the program's console take a size together.
size() {
  tm resize-window -t w -x "$1" -y "$2"
  "$wine" "$resize" "$1" "$2" </dev/null || fail "ResizeConsole $1 x $2"
  sleep 0.5
}

heard='^Heard [ox] (Mice|Piper) @[0-9]+: [A-Z]{3}\.(A|B|AB|BA|F|X|I) [#$@<>*{}][0-9]+, [#$@<>*{}][0-9]+'
tm new-session -d -s w -x 100 -y 30 "env PS1='$ ' bash --norc --noprofile -i"
sleep 0.3
run "cd $work"
start=$(date +%s)

if [ -n "$tests" ]; then
  run "clear; '$wine' '$tests' --gtest_filter='ConsoleCoreScreen.*:ViewChoice.*' > t.log 2>&1; echo \$? > t.status"
  within 60 done_file t.status || fail "the view's console tests did not end"
  [ "$(cat t.status)" = 0 ] && grep -q '^\[  PASSED  \] 2 tests' t.log && ! grep -q SKIPPED t.log ||
    fail "the view's console tests on a terminal: $(cat t.log)"
  echo "ok: the console view's tests pass on a terminal (none skipped)"
fi

# --- The core view on the paced card: it moves, names the warriors and the
# instruction heard, marks both; follows a resize; Ctrl-C ends it with 130.
run "clear; TONEWELL_AUDIO=null '$wine' '$exe' '$mice' '$piper' 1000 > a.out; echo \$? > a.status"
within 30 shows "$heard" || fail "no heard instruction within 30 s"
c1=$(cycle)
sleep 1
c2=$(cycle)
[ -n "$c1" ] && [ -n "$c2" ] && [ "$c2" -gt "$c1" ] || fail "cycle counter did not advance ($c1 -> $c2)"
row 1 | grep -Eq '^Cycle [0-9]+ of 80000  o Mice: [0-9]+ process(es)?  x Piper: [0-9]+ process(es)?  sound [0-9]+:[0-9]{2}\.[0-9]' ||
  fail "status line"
row 2 | grep -Eq "$heard" || fail "heard instruction"
# Wine's console reaches the terminal a piece at a time, so one capture may
# fall between the pieces of a frame: each glyph is looked for a few times.
map_has() { pane | sed -n '3,$p' | grep -q "$1"; }
for glyph in o x O X; do
  within 5 map_has "$glyph" || fail "the map shows no '$glyph'"
done
[ "$(row 3 | tr -d '\n' | wc -c)" -eq 100 ] || fail "map rows do not span the window"
size 60 15
row 1 | grep -Eq '^[0-9]+/80000  o Mice [0-9]+  x Piper [0-9]+  [0-9]+:' || fail "brief status line after resize"
[ "$(row 3 | tr -d '\n' | wc -c)" -eq 60 ] || fail "map rows do not follow the resize"
within 5 map_has O && within 5 map_has X || fail "markers after resize"
size 100 30
within 5 shows '^Cycle [0-9]+ of 80000  o Mice' || fail "full status line after the resize back"
tm send-keys -t w C-c
within 10 done_file a.status || fail "no end after Ctrl-C"
[ "$(cat a.status)" = 130 ] || fail "exit status after Ctrl-C: $(cat a.status)"
stopped=$'^ORVIS Battle System/Core Executor Tonalator\nTonewell [0-9.]+\n\nprogram started\nEControlC: Interrupted by Control-C after cycle [0-9]+$'
[[ "$(cat a.out)" =~ $stopped ]] || fail "stdout after Ctrl-C: $(cat a.out)"
sleep 0.3
shows '^(Cycle|Heard) ' && fail "the view is still on the screen after Ctrl-C"
echo "ok: core view moves, names, heard instruction, both warriors, resize, Ctrl-C (130, report line)"

# --- To the end: standard output on the terminal shows the usual lines and
# nothing else; in a file, the same lines as without the view.
run "clear; TONEWELL_AUDIO=null:fast '$wine' '$exe' '$mice' '$piper' 0; echo status=\$?"
within 30 shows '^status=' || fail "no end of the full run"
pane | sed -n '1,9p' | tr -d '\r' | tr '\n' '|' | grep -Eq "^ORVIS Battle System/Core Executor Tonalator\|Tonewell [0-9.]+\|\|program started\|Warrior\[0\]\.Score: 3\|Warrior\[1\]\.Score: 0\|Seconds: +[0-9]+\.[0-9]{2}\|program finished\|status=0\|\$" ||
  fail "the terminal after a full run"
run "clear; TONEWELL_AUDIO=null:fast '$wine' '$exe' '$mice' '$piper' 0 > b.view; TONEWELL_VIEW=off TONEWELL_AUDIO=null:fast '$wine' '$exe' '$mice' '$piper' 0 > b.off; echo done > b.status"
within 40 done_file b.status || fail "no end of the runs to the end"
diff <(grep -v '^Seconds:' b.view) <(grep -v '^Seconds:' b.off) >/dev/null || fail "stdout differs with the view"
echo "ok: a full run leaves exactly the usual lines on stdout and the terminal"

# --- A failure after the view opened (a warrior line that cannot be read):
# the report line, exit status 1, the view gone.
printf ';redcode-94\n;name Bad\n;author x\nMOV.I $0 $1\n' >bad.red
run "clear; TONEWELL_AUDIO=null '$wine' '$exe' bad.red '$piper' 1000 > f.out 2>/dev/null; echo \$? > f.status"
within 20 done_file f.status || fail "no end of the failing run"
[ "$(cat f.status)" = 1 ] && grep -q '^Exception: Failed to find comma$' f.out ||
  fail "the failing run: status $(cat f.status), $(cat f.out)"
shows '^(Cycle|Heard) ' && fail "the view is still on the screen after a failure"
echo "ok: a failure leaves the report line and status 1, and no view"

# --- The line view: the status line, cleared by Ctrl-C.
run "clear; TONEWELL_VIEW=line TONEWELL_AUDIO=null '$wine' '$exe' '$mice' '$piper' 1000 > c.out; echo \$? > c.status"
within 30 shows '^[0-9]+/80000  o Mice [0-9]+  x Piper [0-9]+  [ox] [A-Z]{3}\.' || fail "no status line"
tm send-keys -t w C-c
within 10 done_file c.status || fail "line view: no end after Ctrl-C"
[ "$(cat c.status)" = 130 ] || fail "line view: exit status after Ctrl-C: $(cat c.status)"
sleep 0.3
shows '/80000' && fail "the status line stayed after Ctrl-C"
echo "ok: line view, cleared at the end"

# --- Standard error in a file, the terminal everywhere else: not one byte.
run "clear; TONEWELL_AUDIO=null:fast '$wine' '$exe' '$mice' '$piper' 0 > e.out 2> e.err; echo \$? > e.status"
within 20 done_file e.status || fail "no end of the run with standard error in a file"
[ "$(cat e.status)" = 0 ] && [ -e e.err ] && [ ! -s e.err ] ||
  fail "view bytes in a redirected standard error: $(wc -c <e.err)"
echo "ok: standard error redirected to a file gets nothing"

echo "Wine tmux view checks passed in $(($(date +%s) - start)) s"
