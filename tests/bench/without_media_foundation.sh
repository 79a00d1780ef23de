#!/bin/sh
# The benchmark on a Windows without Media Foundation (under Wine, mfplat.dll
# disabled): it must start, say why figures are missing, print every figure
# that needs none, and exit 0.
# Usage: without_media_foundation.sh <quorvel_bench.exe>
set -u
out=$(WINEDLLOVERRIDES="winedbg.exe,mfplat=d" wine "$1")
status=$?
printf '%s\n' "$out"
[ "$status" -eq 0 ] || { echo "exit code $status"; exit 1; }
for line in "Media Foundation is missing" "sample preparation / memcpy" \
    "pointer overlay 2160p / 360p" "row repack (pitch 8192) / memcpy" "turned copy 270 / memcpy" \
    "mend of 1 h at 1080p 60 fps"; do
    printf '%s\n' "$out" | grep -qF "$line" || { echo "no line: $line"; exit 1; }
done
