#!/bin/sh
# Makes quarters.mp4 once with ffmpeg (libx264): 88 x 72 (neither side a
# multiple of 16, so a decoder pads its output), 15 fps, 30 frames, no
# B-frames. The first, the middle (15) and the last frame each show four flat
# quarters of 44 x 36, in the order top-left, top-right, bottom-left,
# bottom-right; every other frame is dark grey (64, 64, 64), so reading a
# neighbour instead shows:
#   frame 0    (200, 40, 40)   (40, 160, 40)  (40, 60, 200)  (200, 200, 40)
#   frame 15   (40, 180, 180)  (180, 40, 180) (230, 140, 30) (120, 120, 120)
#   frame 29   (240, 240, 240) (30, 30, 30)   (150, 90, 40)  (90, 170, 230)
set -eu
cd "$(dirname "$0")"

# Filter text for one frame of four colours, in quarter order, labelled [name].
quarters() {
    name=$1
    shift
    i=0
    for colour in "$@"; do
        printf 'color=c=%s:s=44x36:r=15,trim=end_frame=1[%s%d];' "$colour" "$name" "$i"
        i=$((i + 1))
    done
    printf '[%s0][%s1]hstack[%st];[%s2][%s3]hstack[%sb];[%st][%sb]vstack[%s];' \
        "$name" "$name" "$name" "$name" "$name" "$name" "$name" "$name" "$name"
}

# Filter text for `frames` dark grey frames, labelled [name].
filler() {
    printf 'color=c=0x404040:s=88x72:r=15,trim=end_frame=%s[%s];' "$2" "$1"
}

graph="$(quarters first 0xC82828 0x28A028 0x283CC8 0xC8C828)$(filler before 14)"
graph="$graph$(quarters middle 0x28B4B4 0xB428B4 0xE68C1E 0x787878)$(filler after 13)"
graph="$graph$(quarters last 0xF0F0F0 0x1E1E1E 0x965A28 0x5AAAE6)"
ffmpeg -v error -y -filter_complex "$graph[first][before][middle][after][last]concat=n=5:v=1[v]" \
    -map "[v]" -c:v libx264 -pix_fmt yuv420p -bf 0 -g 15 -crf 18 \
    -map_metadata -1 -fflags +bitexact -flags:v +bitexact quarters.mp4
