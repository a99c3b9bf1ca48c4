#!/usr/bin/env bash
# Half a minute of fuzzing of warrior files: line splitting, the line parser,
# the integer text and short battles of whatever parses.
set -euo pipefail
bash fuzz/run_warrior.sh 30
