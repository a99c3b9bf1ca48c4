#!/usr/bin/env bash
# The terminal view under a real terminal (tmux): what a person sees during
# a battle, after it, after Ctrl-C and after a resize (tools/view/tmux-check.sh).
set -euo pipefail
cd "$(dirname "$0")/../.."

# Only CI needs tmux; users do not, so it is installed here.
bash tools/install-deps.sh tmux

bash tools/view/tmux-check.sh build/tonewell
