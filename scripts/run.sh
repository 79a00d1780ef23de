#!/bin/bash
# Installs what is missing, builds, and starts quorvel.exe under Wine; on a
# private Xvfb display when there is no X display.
set -eu
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
export WINEDEBUG=-all
if [ -n "${DISPLAY:-}" ]; then
    exec wine build/quorvel.exe
fi
exec xvfb-run -a -s '-screen 0 1920x1080x24' wine build/quorvel.exe
