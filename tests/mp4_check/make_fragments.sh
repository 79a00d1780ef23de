#!/bin/sh
# Makes the fragmented MP4s the mend is tested on, once, with ffmpeg (libx264):
# 88 x 72, 15 fps, 4 s, a fragment a second unless said otherwise. The
# top-left, top-right and bottom-left quarters are flat colours that change
# every second; the bottom-right quarter is a grey that grows by 3 every frame,
# so a frame read back names itself.
#   frag_offsets.mp4  no B-frames; tfhd gives each fragment's base offset: ffmpeg's,
#                     the moof's own, moved on to the fragment's first picture (and
#                     trun's data offset made 0), so that it matters; mfra at the end
#   frag_bframes.mp4  2 B-frames (trun version 1, negative composition offsets);
#                     offsets from the moof (default-base-is-moof)
#   frag_sidx.mp4     a sidx before every fragment (DASH)
#   frag_midgop.mp4   a key frame every 2 s, fragments of 0.7 s, so most start on a
#                     non-key frame; every eighth frame dropped (per-sample durations);
#                     no base offset at all (the moof is the base)
#   cut_in_moof.mp4   frag_offsets.mp4 cut in the middle of its second moof
#   cut_in_mdat.mp4   ... in the middle of its third mdat
#   cut_after_moof.mp4 ... just after its fourth moof
set -eu
cd "$(dirname "$0")"

# Three quarters that change every second and a grey ramp, as geq expressions.
top='lt(Y,36)'
left='lt(X,44)'
second='trunc(T)'
ramp='16+N*3'
red="if($top,if($left,40+50*$second,40),if($left,200-40*$second,$ramp))"
green="if($top,if($left,160,60+40*$second),if($left,60,$ramp))"
blue="if($top,if($left,40,200-30*$second),if($left,40+45*$second,$ramp))"
source="color=c=black:s=88x72:r=15:d=4,format=rgb24,geq=r='$red':g='$green':b='$blue'"

make() {
    output=$1
    shift
    ffmpeg -v error -y -f lavfi -i "$source" -c:v libx264 -pix_fmt yuv420p -crf 18 "$@" \
        -map_metadata -1 -fflags +bitexact -flags:v +bitexact "$output"
}

make frag_offsets.mp4 -bf 0 -g 15 -movflags +frag_keyframe+empty_moov
make frag_bframes.mp4 -bf 2 -x264-params b-adapt=0 -g 15 \
    -movflags +frag_keyframe+empty_moov+default_base_moof+negative_cts_offsets
make frag_sidx.mp4 -bf 0 -g 15 -movflags +frag_keyframe+empty_moov+dash
make frag_midgop.mp4 -bf 0 -g 30 -vf "select='not(eq(mod(n,8),5))'" -fps_mode vfr \
    -frag_duration 700000 -movflags +empty_moov+omit_tfhd_offset

# Prints "offset size type" for each top-level box of $1 (32-bit sizes only).
boxes() {
    file=$1
    length=$(wc -c <"$file")
    offset=0
    while [ "$offset" -lt "$length" ]; do
        set -- $(od -An -tu1 -j "$offset" -N 8 "$file")
        size=$(($1 * 16777216 + $2 * 65536 + $3 * 256 + $4))
        type=$(printf "\\$(printf %03o "$5")\\$(printf %03o "$6")\\$(printf %03o "$7")\\$(printf %03o "$8")")
        echo "$offset $size $type"
        offset=$((offset + size))
    done
}

# The offset and size of the n-th box of a type in $1.
nth_box() {
    boxes "$1" | awk -v type="$2" -v n="$3" '$3 == type && ++seen == n { print $1, $2 }'
}

# Writes $3 as $4 big-endian bytes at offset $2 of file $1.
put() {
    bytes=""
    i=$4
    while [ "$i" -gt 0 ]; do
        i=$((i - 1))
        bytes="$bytes\\$(printf %03o $((($3 >> (8 * i)) & 255)))"
    done
    printf "$bytes" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

# The four bytes at offset $2 of $1, as a number.
number() {
    set -- $(od -An -tu1 -j "$2" -N 4 "$1")
    echo $(($1 * 16777216 + $2 * 65536 + $3 * 256 + $4))
}

# In frag_offsets.mp4 every moof is mfhd, then traf with tfhd (base offset at
# 16 into it), tfdt and trun (data offset at 16 into it).
boxes frag_offsets.mp4 | while read -r offset size type; do
    [ "$type" = moof ] || continue
    trun=$((offset + 88))
    put frag_offsets.mp4 $((offset + 48)) $((offset + $(number frag_offsets.mp4 $((trun + 16))))) 8
    put frag_offsets.mp4 $((trun + 16)) 0 4
done

cut() {
    head -c "$2" frag_offsets.mp4 >"$1"
}

set -- $(nth_box frag_offsets.mp4 moof 2)
cut cut_in_moof.mp4 $(($1 + $2 / 2))
set -- $(nth_box frag_offsets.mp4 mdat 3)
cut cut_in_mdat.mp4 $(($1 + $2 / 2))
set -- $(nth_box frag_offsets.mp4 moof 4)
cut cut_after_moof.mp4 $(($1 + $2))
