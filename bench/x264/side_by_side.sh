#!/usr/bin/env bash
# Encodes the same 1920x1080 synthetic desktop with our session and with
# ffmpeg's libx264 at the same settings, in one run, and compares CPU time.
# Then weighs rate controls on text and photo-like scenes (x264_rate_bench:
# CPU per frame, bit rate, quality of the decoded stream), rate-frames frames
# per scene and configuration in two interleaved rounds; 0 skips it (a full
# run takes about 15 minutes of one core).
# Usage: bench/x264/side_by_side.sh <build-dir> [frames] [rate-frames]
set -euo pipefail
build=${1:?build directory}
frames=${2:-240}
rate_frames=${3:-240}
bench=$build/bench/x264/x264_session_bench
rate_bench=$build/bench/x264/x264_rate_bench
[ -x "$bench" ] || { echo "build x264_session_bench first: $bench" >&2; exit 1; }
[ "$rate_frames" = 0 ] || [ -x "$rate_bench" ] || { echo "build x264_rate_bench first: $rate_bench" >&2; exit 1; }
command -v ffmpeg >/dev/null || { echo "ffmpeg is needed" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$bench" write "$work/frames.nv12" "$frames"

# CPU seconds (user + system) of one command, all its threads included.
cpu_of() {  # output-file, command...
  local out=$1; shift
  /usr/bin/time -f '%U %S' -o "$work/time" "$@" >"$out"
  awk '{ printf "%.3f", $1 + $2 }' "$work/time"
}

ours_cpu=$(cpu_of "$work/ours.txt" "$bench" encode "$work/frames.nv12" "$frames")
# Same settings as the session: veryfast + zerolatency (sliced threads, no
# lookahead), Baseline, no B-frames, constant quality 16 without adaptive
# quantisation under the same 6 Mbit/s VBV, keyint 24, the first two frames
# IDR, the same colour signalling.
ffmpeg_cpu=$(cpu_of /dev/null ffmpeg -nostdin -hide_banner -loglevel error \
  -f rawvideo -pix_fmt nv12 -s 1920x1080 -framerate 12 -i "$work/frames.nv12" \
  -c:v libx264 -preset veryfast -tune zerolatency -profile:v baseline -pix_fmt nv12 \
  -crf 16 -aq-mode 0 -maxrate 6000k -bufsize 4480k -g 24 -bf 0 -force_key_frames 'expr:lt(n,2)' \
  -color_range tv -colorspace smpte170m -color_primaries bt709 -color_trc iec61966-2-1 \
  -f h264 "$work/ffmpeg.h264")
ffmpeg_largest=$(ffprobe -v error -select_streams v:0 -show_entries packet=size -of csv=p=0 \
  "$work/ffmpeg.h264" | sort -n | tail -n 1)

value() { sed -n "s/^$1=//p" "$work/ours.txt"; }
awk -v frames="$frames" -v ours="$ours_cpu" -v theirs="$ffmpeg_cpu" \
    -v latency="$(value median_latency_ms)" -v largest="$(value largest_frame)" \
    -v ours_bytes="$(value total_bytes)" -v theirs_largest="$ffmpeg_largest" \
    -v theirs_bytes="$(stat -c %s "$work/ffmpeg.h264")" 'BEGIN {
  printf "frames                      %d (1920x1080)\n", frames
  printf "CPU s/frame  session        %.4f\n", ours / frames
  printf "CPU s/frame  ffmpeg libx264 %.4f\n", theirs / frames
  printf "ratio session/ffmpeg        %.3f (target <= 1.0)\n", ours / theirs
  printf "median encode latency       %.2f ms\n", latency
  printf "largest frame  session      %d bytes (limit 700000)\n", largest
  printf "largest frame  ffmpeg       %d bytes\n", theirs_largest
  printf "total bytes  session/ffmpeg %d / %d\n", ours_bytes, theirs_bytes
}'

if [ "$rate_frames" != 0 ]; then
  echo
  "$rate_bench" --frames "$rate_frames" --rounds 2
fi
