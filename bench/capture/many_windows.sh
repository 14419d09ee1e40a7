#!/usr/bin/env bash
# The helper's cost on a crowded desktop: N windows strewn over a
# 1920x1080 screen with one 160x120 window on top repainting every 40 ms
# (capture_changer's windows-N scenes), and the same desktop standing still. For each
# scene: CPU of the helper and the X server's extra (its rate with no
# capture subtracted) in the first 2 s of the share and in the measured
# window after the warm-up, and the frames per second in both. With --trace
# the helper runs once more through xtrace (when installed) and the image
# reads it sends the server are counted per frame.
#
# Usage: bench/capture/many_windows.sh BUILD_DIR [--seconds S] [--warmup S]
#          [--scenes 0,100,300,600,300-static] [--trace] [--helper PROGRAM]
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR [--seconds S] [--warmup S] [--scenes LIST] [--trace]}
shift
seconds=10 warmup=3 scenes=0,100,300,600,300-static trace= helper=$build/host/app/TavrinoShareHost
while [ $# -gt 0 ]; do
  case $1 in
    --seconds) seconds=${2:?}; shift 2 ;;
    --warmup) warmup=${2:?}; shift 2 ;;
    --scenes) scenes=${2:?}; shift 2 ;;
    --trace) trace=1; shift ;;
    --helper) helper=${2:?}; shift 2 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
probe=$build/bench/capture/capture_probe
desktop=$build/bench/capture/capture_changer
for program in "$helper" "$probe" "$desktop"; do
  [ -x "$program" ] || { echo "build it first: $program" >&2; exit 1; }
done
if [ -n "$trace" ] && ! command -v xtrace >/dev/null; then
  echo "--trace needs xtrace" >&2
  exit 1
fi

work=$(mktemp -d)
declare -A live
cleanup() {
  for p in "${!live[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
tick=$(getconf CLK_TCK)
cpu_seconds() { awk -v tick="$tick" '{ sub(/^.*\) /, ""); printf "%.3f", ($12 + $13) / tick }' "/proc/$1/stat"; }
now_us() { date +%s%6N; }
wait_for() {
  for _ in $(seq 200); do { [ -s "$1" ] || [ -S "$1" ]; } && return 0; sleep 0.05; done
  echo "$2 did not come up" >&2
  return 1
}
stop() {
  kill -TERM "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
  unset "live[$1]"
}
free_display() {
  local n=$((400 + RANDOM % 200))
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  echo "$n"
}
# CPU share of a core over a span, from two readings.
share() { awk -v a="$1" -v b="$2" -v t0="$3" -v t1="$4" 'BEGIN { printf "%.1f", 100 * (b - a) / ((t1 - t0) / 1e6) }'; }
fps() {  # record, from, to
  "$probe" measure "$1" --from "$2" --to "$3" |
    awk -v t0="$2" -v t1="$3" '{ split($1, f, "="); printf "%.1f", f[2] / ((t1 - t0) / 1e6) }'
}

printf '%-12s %8s %8s %7s %8s %8s %7s %s\n' scene "0-2s hlp" "X extra" fps "run hlp" "X extra" fps "reads/frame"
for scene in ${scenes//,/ }; do
  n=$(free_display)
  Xvfb ":$n" -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
  xserver=$!
  live[$xserver]=1
  wait_for "/tmp/.X11-unix/X$n" "Xvfb :$n"
  DISPLAY=":$n" "$desktop" --scene "windows-$scene" >"$work/desktop.out" &
  painter=$!
  live[$painter]=1
  wait_for "$work/desktop.out" "the desktop"
  window=$(awk '/^ready/ { print $2 }' "$work/desktop.out")
  # The server's own rate while the desktop repaints and nobody captures.
  x0=$(cpu_seconds "$xserver") t0=$(now_us)
  sleep 3
  xrate=$(awk -v a="$x0" -v b="$(cpu_seconds "$xserver")" -v t0="$t0" -v t1="$(now_us)" \
    'BEGIN { printf "%.6f", (b - a) / ((t1 - t0) / 1e6) }')
  extra() { awk -v s="$(share "$@")" -v r="$xrate" 'BEGIN { printf "%.1f", s - 100 * r }'; }

  rm -f "$work/pid"
  DISPLAY=":$n" "$probe" helper --out "$work/rec" --pid-file "$work/pid" --exclude "$window" "$helper" 2>"$work/log" &
  driver=$!
  live[$driver]=1
  wait_for "$work/pid" "the helper"
  pid=$(cat "$work/pid")
  a0=$(cpu_seconds "$pid") x0=$(cpu_seconds "$xserver") t0=$(now_us)
  sleep 2
  a1=$(cpu_seconds "$pid") x1=$(cpu_seconds "$xserver") t1=$(now_us)
  sleep "$(awk -v w="$warmup" 'BEGIN { print (w > 2 ? w - 2 : 0) }')"
  b0=$(cpu_seconds "$pid") y0=$(cpu_seconds "$xserver") u0=$(now_us)
  sleep "$seconds"
  b1=$(cpu_seconds "$pid") y1=$(cpu_seconds "$xserver") u1=$(now_us)
  stop "$driver"
  first="$(share "$a0" "$a1" "$t0" "$t1") $(extra "$x0" "$x1" "$t0" "$t1") $(fps "$work/rec" "$t0" "$t1")"
  run="$(share "$b0" "$b1" "$u0" "$u1") $(extra "$y0" "$y1" "$u0" "$u1") $(fps "$work/rec" "$u0" "$u1")"

  reads=-
  if [ -n "$trace" ]; then
    m=$(free_display)
    xtrace -n -k --timestamps -d ":$n" -D ":$m" -o "$work/trace" >/dev/null 2>&1 &
    tracer=$!
    live[$tracer]=1
    wait_for "/tmp/.X11-unix/X$m" "xtrace :$m"
    DISPLAY=":$m" "$probe" helper --out "$work/trec" --exclude "$window" "$helper" 2>"$work/tlog" &
    driver=$!
    live[$driver]=1
    # Past the start, whose full repaint reads every window that shows.
    sleep "$(awk -v w="$warmup" 'BEGIN { print (w > 5 ? w : 5) }')"
    t0=$(now_us)
    sleep "$seconds"
    t1=$(now_us)
    stop "$driver"
    stop "$tracer"
    frames=$("$probe" measure "$work/trec" --from "$t0" --to "$t1" | sed 's/^frames=\([0-9]*\).*/\1/')
    images=$(awk -v a="$t0" -v b="$t1" '/GetImage drawable/ { t = $1 * 1e6; if (t >= a && t <= b) n++ } END { print n + 0 }' \
      "$work/trace")
    reads=$(awk -v i="$images" -v f="$frames" 'BEGIN { printf "%.1f (%d frames)", f ? i / f : 0, f }')
  fi
  stop "$painter"
  stop "$xserver"
  # shellcheck disable=SC2086
  printf '%-12s %8s %8s %7s %8s %8s %7s %s\n' "$scene" $first $run "$reads"
done
echo "CPU in % of one core; X extra = the X server's rate above its own with no capture."
echo "load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
