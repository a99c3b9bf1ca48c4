#!/usr/bin/env bash
# Three quarters of a minute of fuzzing of the wave parser and container from the seed
# corpus; a crash, leak or sanitizer report fails the step.
set -euo pipefail
bash fuzz/run.sh 45
