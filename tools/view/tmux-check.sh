#!/usr/bin/env bash
# The terminal view as a person sees it: the program runs in a tmux pane (a
# real terminal, an interactive shell with job control), the pane's text is
# captured at a few moments and at the end, and checked.
#
#   tools/view/tmux-check.sh [PROGRAM]      (default build/tonewell)
#
# Needs tmux. Exits non-zero at the first check that fails, saying which.
set -euo pipefail
cd "$(dirname "$0")/../.."
program=$(realpath "${1:-build/tonewell}")
mice=$(realpath examples/Mice.red)
piper=$(realpath examples/Piper.red)
work=$(mktemp -d)
socket=tonewell-view-$$
trap 'tmux -L "$socket" kill-server 2>/dev/null || true; rm -rf "$work"' EXIT
unset TONEWELL_VIEW TONEWELL_AUDIO
cd "$work"

tm() { tmux -L "$socket" -f /dev/null "$@"; }
fail() {
  echo "FAIL: $*" >&2
  echo "--- pane:" >&2
  tm capture-pane -p -t v >&2 || true
  exit 1
}
pane() { tm capture-pane -p -t v; }
# Types a command line into the pane's shell.
type_line() { tm send-keys -t v -l "$1" && tm send-keys -t v Enter; }
# Waits up to $2 seconds for file $1 to exist.
wait_file() {
  local i
  for ((i = 0; i < $2 * 20; i++)); do
    [ -s "$1" ] && return 0
    sleep 0.05
  done
  fail "no $1 after $2 s"
}
# Waits up to $2 seconds for the pane to show a line matching regex $1.
wait_pane() {
  local i
  for ((i = 0; i < $2 * 20; i++)); do
    pane | grep -Eq "$1" && return 0
    sleep 0.05
  done
  fail "the pane never showed /$1/ within $2 s"
}
cycle_shown() { pane | sed -nE '1s/^Cycle ([0-9]+) of 80000.*/\1/p'; }

head_lines=$'ORVIS Battle System/Core Executor Tonalator\nTonewell '
heard='^Heard [ox] (Mice|Piper) @[0-9]+: [A-Z]{3}\.(A|B|AB|BA|F|X|I) [#$@<>*{}][0-9]+, [#$@<>*{}][0-9]+'

tm new-session -d -s v -x 100 -y 30 "env PS1='$ ' bash --norc --noprofile -i"
sleep 0.3
type_line "cd $work"
start=$(date +%s)

# --- The core view on the paced card: it moves, names the warriors and the
# instruction heard, marks both; follows a resize; Ctrl-C ends it with 130
# and the terminal as it was; Ctrl-Z and fg on the way.
# (The program alone on its command line, as a user runs it: what follows
# is typed after it, with fg's status being the program's.)
type_line "clear; stty -g > a.stty0"
type_line "TONEWELL_AUDIO=null $program $mice $piper 1000 > a.out"
wait_pane "$heard" 10
c1=$(cycle_shown)
sleep 1
c2=$(cycle_shown)
[ -n "$c1" ] && [ -n "$c2" ] && [ "$c2" -gt "$c1" ] || fail "cycle counter did not advance ($c1 -> $c2)"
pane | sed -n 1p | grep -Eq '^Cycle [0-9]+ of 80000  o Mice: [0-9]+ process(es)?  x Piper: [0-9]+ process(es)?  sound [0-9]+:[0-9]{2}\.[0-9]' ||
  fail "status line"
pane | sed -n 2p | grep -Eq "$heard" || fail "heard instruction"
pane | sed -n 2p | grep -q 'cycles/s' && fail "a progress bar on a paced output"
map=$(pane | sed -n '3,$p')
for glyph in o x O X; do
  grep -q "$glyph" <<<"$map" || fail "the map shows no '$glyph'"
done
[ "$(pane | sed -n 3p | tr -d '\n' | wc -c)" -eq 100 ] || fail "map rows do not span the window"
tm resize-window -t v -x 60 -y 15
sleep 0.5
pane | sed -n 1p | grep -Eq '^[0-9]+/80000  o Mice [0-9]+  x Piper [0-9]+  [0-9]+:' || fail "brief status line after resize"
[ "$(pane | sed -n 3p | tr -d '\n' | wc -c)" -eq 60 ] || fail "map rows do not follow the resize"
map=$(pane | sed -n '3,$p')
grep -q O <<<"$map" && grep -q X <<<"$map" || fail "markers after resize"
tm resize-window -t v -x 100 -y 30
sleep 0.3
# Ctrl-Z: the shell's screen comes back with the job stopped; fg: the view again.
tm send-keys -t v C-z
wait_pane 'Stopped' 5
pane | grep -Eq '^(Cycle|Heard) ' && fail "the view stayed on the screen after Ctrl-Z"
type_line "fg"
wait_pane '^Cycle [0-9]+ of 80000' 5
tm send-keys -t v C-c
type_line "echo \$? > a.status; stty -g > a.stty1"
wait_file a.stty1 5
[ "$(cat a.status)" = 130 ] || fail "exit status after Ctrl-C: $(cat a.status)"
grep -Ezq "^${head_lines}[^\n]*\n\nprogram started\nEControlC: Interrupted by Control-C after cycle [0-9]+\n\$" a.out ||
  fail "stdout after Ctrl-C: $(cat a.out)"
cmp -s a.stty0 a.stty1 || fail "terminal modes changed by Ctrl-C"
pane | grep -Eq '^(Cycle|Heard) ' && fail "the view is still on the screen after Ctrl-C"
pane | grep -q 'Segmentation\|Aborted\|core dumped' && fail "the program crashed"
echo "ok: core view moves, names, heard instruction, both warriors, resize, Ctrl-Z and fg, Ctrl-C (130, modes kept)"

# --- SIGTERM (kill, timeout), SIGHUP and Ctrl-\ (SIGQUIT) during the core
# view: the terminal comes back as Ctrl-C gives it back (main screen, cursor
# shown, modes), and the program ends as the signal ends it.
for sig in TERM HUP QUIT; do
  type_line "clear; stty -g > s.stty0; TONEWELL_AUDIO=null $program $mice $piper 1000 > s.out; echo \$? > s.status; stty -g > s.stty1"
  wait_pane "$heard" 10
  if [ "$sig" = QUIT ]; then
    tm send-keys -t v 'C-\'
  else
    kill -"$sig" "$(pgrep -P "$(tm display -p -t v '#{pane_pid}')" -x tonewell)"
  fi
  wait_file s.stty1 5
  [ "$(cat s.status)" = $((128 + $(kill -l "$sig"))) ] || fail "exit status after SIG$sig: $(cat s.status)"
  cmp -s s.stty0 s.stty1 || fail "terminal modes changed by SIG$sig"
  [ "$(tm display -p -t v '#{alternate_on} #{cursor_flag}')" = "0 1" ] ||
    fail "after SIG$sig: alternate screen and cursor flags $(tm display -p -t v '#{alternate_on} #{cursor_flag}')"
  pane | grep -Eq '^(Cycle|Heard) ' && fail "the view is still on the screen after SIG$sig"
  [ "$(tail -1 s.out)" = "program started" ] || fail "stdout after SIG$sig: $(cat s.out)"
  rm -f s.* core core.*
done
echo "ok: SIGTERM, SIGHUP and Ctrl-\\ give the terminal back and end the program by the signal"

# --- To the end, standard output on the terminal as well: the usual lines,
# nothing else; then the same with standard output in a file, against a run
# without the view.
type_line "clear; stty -g > b.stty0; TONEWELL_AUDIO=null:fast $program $mice $piper 0; echo status=\$?; stty -g > b.stty1"
wait_pane '^status=' 10
pane | sed -n '1,9p' | tr '\n' '|' | grep -Eq "^ORVIS Battle System/Core Executor Tonalator\|Tonewell [0-9.]+\|\|program started\|Warrior\[0\]\.Score: 3\|Warrior\[1\]\.Score: 0\|Seconds: +[0-9]+\.[0-9]{2}\|program finished\|status=0\|\$" ||
  fail "the terminal after a full run"
cmp -s b.stty0 b.stty1 || fail "terminal modes changed by a full run"
type_line "TONEWELL_AUDIO=null:fast $program $mice $piper 0 > b.view; TONEWELL_VIEW=off TONEWELL_AUDIO=null:fast $program $mice $piper 0 > b.off; echo done > b.status"
wait_file b.status 20
diff <(grep -v '^Seconds:' b.view) <(grep -v '^Seconds:' b.off) >/dev/null || fail "stdout differs with the view"
echo "ok: a full run leaves exactly the usual lines on stdout and the terminal"

# --- Unpaced: the progress bar with the speed. The tones are long so the
# run lasts a few seconds even where synthesis is fast (N = 8000 is over in
# under 0.1 s, before a capture can see it).
type_line "clear; TONEWELL_AUDIO=null:fast $program $mice $piper 400000 > d.out; echo \$? > d.status"
wait_pane '\[[=> ]+\] +[0-9]+%  [0-9.]+[kM]? cycles/s' 20
wait_file d.status 60
[ "$(cat d.status)" = 0 ] || fail "unpaced run status"
echo "ok: progress bar and cycles per second when unpaced"

# --- The line view: one line, cleared by Ctrl-C.
type_line "clear; TONEWELL_VIEW=line TONEWELL_AUDIO=null $program $mice $piper 1000 > c.out; echo \$? > c.status"
wait_pane '^[0-9]+/80000  o Mice [0-9]+  x Piper [0-9]+  [ox] [A-Z]{3}\.' 10
sleep 0.5
tm send-keys -t v C-c
wait_file c.status 5
[ "$(cat c.status)" = 130 ] || fail "line view: exit status after Ctrl-C"
sleep 0.2
pane | grep -q '/80000' && fail "the status line stayed after Ctrl-C"
echo "ok: line view, cleared at the end"

# --- Standard error in a file, the terminal everywhere else: not one byte.
type_line "clear; TONEWELL_AUDIO=null:fast $program $mice $piper 0 > e.out 2> e.err; echo \$? > e.status"
wait_file e.status 10
[ -e e.err ] && [ ! -s e.err ] || fail "view bytes in a redirected standard error: $(wc -c < e.err)"
echo "ok: standard error redirected to a file gets nothing"

echo "tmux view checks passed in $(($(date +%s) - start)) s"
