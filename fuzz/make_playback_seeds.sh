#!/usr/bin/env bash
# Rebuilds fuzz/corpus-playback: one tiny clip of every container and codec
# the tests make, cut to 4 KB, behind the leading byte that picks BGR (0) or
# RGB (1) pictures.
set -euo pipefail
cd "$(dirname "$0")/.."
out=fuzz/corpus-playback
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ff() { ffmpeg -nostdin -v error -y "$@"; }
V=(-f lavfi -i testsrc2=size=32x24:rate=5 -t 0.6)
A=(-f lavfi -i sine=frequency=440:sample_rate=8000 -t 0.6)
S=(-f lavfi -i sine=frequency=440:sample_rate=8000 -t 0.3)
ff "${V[@]}" "${A[@]}" -c:v libx264 -bf 1 -g 2 -c:a aac -b:a 8k -shortest "$work/h264_aac.mp4"
ff "${V[@]}" -c:v libvpx-vp9 -g 2 -deadline realtime "$work/vp9.webm"
ff "${V[@]}" "${A[@]}" -c:v mpeg4 -g 2 -c:a pcm_s16le -shortest "$work/mpeg4.avi"
ff "${V[@]}" -c:v mjpeg -q:v 31 "$work/mjpeg.avi"
ff "${V[@]}" "${A[@]}" -c:v mpeg2video -g 2 -c:a mp2 -shortest "$work/mpeg2.ts"
ff "${V[@]}" -c:v libx265 -x265-params log-level=none -g 2 "$work/hevc.mkv"
ff "${S[@]}" -ac 6 -c:a ac3 -b:a 64k "$work/ac3_51.mkv"
ff "${S[@]}" -c:a pcm_mulaw "$work/mulaw.wav"
ff "${S[@]}" -ac 2 -c:a pcm_s16le "$work/s16.mkv"
ff "${V[@]}" -c:v libx264 -g 2 -f h264 "$work/raw.h264"
# A transport stream whose picture size changes half way.
ff -f lavfi -i testsrc2=size=32x24:rate=5 -t 0.4 -c:v mpeg2video -f mpegts "$work/a.ts"
ff -f lavfi -i testsrc2=size=48x32:rate=5 -t 0.4 -c:v mpeg2video -f mpegts "$work/b.ts"
cat "$work/a.ts" "$work/b.ts" > "$work/sizechange.ts"
rm "$work/a.ts" "$work/b.ts"
mkdir -p "$out"
for clip in "$work"/*; do
  { printf '\x00'; head -c 4095 "$clip"; } > "$out/$(basename "$clip")"
done
{ printf '\x01'; head -c 4095 "$work/h264_aac.mp4"; } > "$out/h264_aac_rgb.mp4"
