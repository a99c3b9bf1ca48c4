#!/usr/bin/env bash
# Installs the Debian packages that are not installed yet: those named on the
# command line, or with no arguments every package listed in
# .ci/packages.d/*.txt (what the build and the tests need). Does nothing (and
# needs no network) when all are present.
#   tools/install-deps.sh [PACKAGE...]
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -gt 0 ]; then
  wanted=("$@")
else
  mapfile -t wanted < <(cat .ci/packages.d/*.txt | sed 's/#.*//' | tr -s ' \t' '\n' | sed '/^$/d' | sort -u)
fi
missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
