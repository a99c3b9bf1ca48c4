#!/usr/bin/env bash
# The terminal view under a real terminal (tmux): what a person sees during
# a battle, after it, after Ctrl-C and after a resize (tools/view/tmux-check.sh).
set -euo pipefail
cd "$(dirname "$0")/../.."

# Only CI needs tmux; users do not, so it is installed here.
if ! dpkg-query -W -f='${Status}' tmux 2>/dev/null | grep -q 'install ok installed'; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends tmux >/dev/null
fi

bash tools/view/tmux-check.sh build/tonewell
