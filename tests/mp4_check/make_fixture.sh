#!/bin/sh
# Makes two_colours.mp4 once with ffmpeg (libx264): 88 x 72 (neither side a
# multiple of 16, so a decoder pads its output), 15 fps, one second of
# (180, 90, 60) then one second of (60, 120, 180), no B-frames.
set -eu
cd "$(dirname "$0")"
ffmpeg -v error -y -f lavfi -i "color=c=0xB45A3C:s=88x72:r=15:d=1" \
    -f lavfi -i "color=c=0x3C78B4:s=88x72:r=15:d=1" \
    -filter_complex "[0][1]concat=n=2:v=1[v]" -map "[v]" \
    -c:v libx264 -pix_fmt yuv420p -bf 0 -g 15 -crf 18 \
    -map_metadata -1 -fflags +bitexact -flags:v +bitexact two_colours.mp4
