#!/usr/bin/env bash
# Captures a virtual desktop (Xvfb) with the shipped share helper, driven as
# the browser extension drives it (every frame acknowledged on arrival), and
# with ffmpeg's x11grab + libx264 at the helper's encoder settings, in
# interleaved pairs, and prints a side-by-side table: CPU of each program plus
# the X server's extra CPU (its rate with the desktop running but nothing
# capturing is subtracted), frames per second (over the measured window, and
# in the first second of the capture), bits per second, peak memory, and the
# latency from a paint to the arrival of the frame that shows it.
#
# Scenes (real X windows drawn by capture_changer; each has the protected
# window on top, which the helper keeps out of its picture):
#   static            nothing changes
#   changing          a window repaints tiles and a time code every 40 ms
#   rapid             the same every 5 ms (the latency scene)
#   typing            one 10x20 character cell of an editor, 10 times a second
#   drag              an 800x600 window moved every 20 ms
#   scroll            a 1600x900 page scrolled by 12 px at 30 Hz, time code above it
#   video             a 1280x720 photo-like region, all new at 30 fps, time code in it
#   windows-N         N windows strewn over the screen, a 160x120 window above
#                     them repainting every 40 ms (N = 0, 100, 300, 600 by default)
#   windows-N-static  the N windows, nothing changes
# Latency is measured in the scenes with a time code (changing, rapid,
# scroll, video). CPU is CPU time from /proc/<pid>/stat, so other work on the
# machine slows the runs but hardly moves the figures; the machine's load is
# printed too. --load N adds N busy programs for the whole run.
#
# Both programs deliver the helper's picture size (at most 1920 wide), so
# ffmpeg scales a larger screen down as the helper does; --ffmpeg-full-size
# lets it encode the whole screen instead. The default, one pair of 5 s runs of
# every scene at 1920x1080 and 3840x2160, takes about 10 minutes; --quick
# (1920x1080 only, 3 s runs) about 4. Longer: --pairs 3 --seconds 10, or the
# same in CAPTURE_BENCH_PAIRS and CAPTURE_BENCH_SECONDS. --keep DIR keeps the
# streams, logs, the last picture of each run (PGM) and the results table's
# input.
#
# Memory over time, the helper alone on the changing scene at the first size:
#   --memory-frames N   one share of N frames (10000: about 14 minutes),
#                       resident and peak memory sampled along the way
#   --memory-cycles N   N shares in a row in one helper (start, first frame,
#                       stop); MALLOC_ARENA_MAX in the environment reaches it
#
# Usage: bench/capture/side_by_side.sh BUILD_DIR [--pairs N] [--seconds S]
#          [--warmup S] [--sizes WxH,...] [--scenes NAME,...] [--load N]
#          [--ffmpeg-full-size] [--quick] [--keep DIR]
#          [--memory-frames N | --memory-cycles N]
set -euo pipefail
[ "${1:-}" = -h ] || [ "${1:-}" = --help ] && set -- . --help
build=${1:?usage: $0 BUILD_DIR [options], see --help}
shift
pairs=${CAPTURE_BENCH_PAIRS:-1} seconds=${CAPTURE_BENCH_SECONDS:-5} warmup=1 sizes=1920x1080,3840x2160
scenes=static,changing,rapid,typing,drag,scroll,video,windows-0,windows-100,windows-300,windows-600,windows-300-static
keep='' full_size='' load=0 memory_frames='' memory_cycles=''
while [ $# -gt 0 ]; do
  case $1 in
    --pairs) pairs=${2:?--pairs wants a value}; shift 2 ;;
    --seconds) seconds=${2:?--seconds wants a value}; shift 2 ;;
    --warmup) warmup=${2:?--warmup wants a value}; shift 2 ;;
    --sizes) sizes=${2:?--sizes wants a value}; shift 2 ;;
    --scenes) scenes=${2:?--scenes wants a value}; shift 2 ;;
    --keep) keep=${2:?--keep wants a value}; shift 2 ;;
    --load) load=${2:?--load wants a value}; shift 2 ;;
    --memory-frames) memory_frames=${2:?--memory-frames wants a value}; shift 2 ;;
    --memory-cycles) memory_cycles=${2:?--memory-cycles wants a value}; shift 2 ;;
    --ffmpeg-full-size) full_size=1; shift ;;
    --quick) pairs=1 seconds=3 warmup=1 sizes=1920x1080; shift ;;
    -h | --help) sed -n '2,/^set -euo/{ /^set -euo/d; s/^# \{0,1\}//; p }' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
# The memory modes use one display.
[ -z "$memory_frames$memory_cycles" ] || sizes=${sizes%%,*}
known='^(static|changing|rapid|typing|drag|scroll|video|windows-[0-9]+(-static)?)$'
for scene in ${scenes//,/ }; do
  [[ $scene =~ $known ]] || { echo "There is no scene called $scene; see --help." >&2; exit 2; }
done
number='^[0-9]+([.][0-9]+)?$'
whole='^[1-9][0-9]*$'
[[ $pairs =~ $whole ]] || { echo "--pairs wants a whole number of at least 1" >&2; exit 2; }
[[ $load =~ ^[0-9]+$ ]] || { echo "--load wants a number of programs" >&2; exit 2; }
for value in $memory_frames $memory_cycles; do
  [[ $value =~ $whole ]] || { echo "--memory-frames and --memory-cycles want a whole number" >&2; exit 2; }
done
[[ $seconds =~ $number ]] && [[ $warmup =~ $number ]] || { echo "--seconds and --warmup want seconds" >&2; exit 2; }
for size in ${sizes//,/ }; do
  [[ $size =~ ^[1-9][0-9]*x[1-9][0-9]*$ ]] || { echo "--sizes wants WIDTHxHEIGHT, not $size" >&2; exit 2; }
done
helper="$build/bundles/Tavrino Share Helper.app/Contents/MacOS/TavrinoShareHost"
probe=$build/bench/capture/capture_probe
changer=$build/bench/capture/capture_changer
for program in "$helper" "$probe" "$changer"; do
  [ -x "$program" ] || { echo "build it first: $program" >&2; exit 1; }
done
for tool in ffmpeg Xvfb; do
  command -v "$tool" >/dev/null || { echo "$tool is needed" >&2; exit 1; }
done

work=$(mktemp -d)
# Processes started and not yet waited for (so their ids are still ours).
declare -A live
started() { live[$1]=1; }
cleanup() {
  for p in "${!live[@]}"; do kill "$p" 2>/dev/null || true; done
  if [ -n "$keep" ]; then mkdir -p "$keep" && cp -r "$work"/. "$keep"/; fi
  rm -rf "$work"
}
trap cleanup EXIT
results=$work/results.tsv
: >"$results"
tick=$(getconf CLK_TCK)

now_us() { date +%s%6N; }
# CPU seconds (user + system, all threads) a process has used so far; its
# name may hold spaces, so count fields after the closing parenthesis.
cpu_seconds() { awk -v tick="$tick" '{ sub(/^.*\) /, ""); printf "%.2f", ($12 + $13) / tick }' "/proc/$1/stat"; }
memory_kib() { awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status"; }  # pid, VmHWM or VmRSS
# Busy and total jiffies of the whole machine, for the load report.
machine_jiffies() { awk '/^cpu / { print $2 + $3 + $4 + $7 + $8, $2 + $3 + $4 + $5 + $6 + $7 + $8 }' /proc/stat; }

wait_for() {  # file, what: until the file has content (or, for a socket, exists)
  for _ in $(seq 100); do [ -s "$1" ] || [ -S "$1" ] && return 0; sleep 0.1; done
  echo "$2 did not come up" >&2
  return 1
}
stop() {  # pid, signal: waits up to 10 s, then kills; the exit status is not wanted
  kill "-$2" "$1" 2>/dev/null || true
  for _ in $(seq 100); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
  unset "live[$1]"
}
finished() {  # pid: waits for it and passes on its exit status
  local status=0
  wait "$1" || status=$?
  unset "live[$1]"
  return "$status"
}

free_display() {
  local n=140
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  echo "$n"
}
declare -A display xserver
for size in ${sizes//,/ }; do
  n=$(free_display)
  Xvfb ":$n" -screen 0 "${size}x24" -nolisten tcp >/dev/null 2>&1 &
  started $!
  xserver[$size]=$!
  display[$size]=":$n"
  wait_for "/tmp/.X11-unix/X$n" "Xvfb :$n" || exit 1
done

# The helper's picture: at most 1920 pixels wide, even, the screen's aspect.
capture_size() {  # WxH
  local w=${1%x*} h=${1#*x}
  local cw=$(((w < 1920 ? w : 1920) / 2 * 2))
  echo "${cw}x$((cw * h / w / 2 * 2))"
}
ffmpeg_command() {  # size, display
  local filter=()
  local out
  out=$(capture_size "$1")
  [ "$out" = "$1" ] || [ -n "$full_size" ] || filter=(-vf "scale=${out/x/:}:flags=bilinear")
  # The helper's x264 settings: veryfast + zerolatency, Baseline, constant quality 16 without
  # adaptive quantisation under a 6 Mbit/s VBV, keyint 24, no B-frames, x264's automatic thread count, NV12.
  ffmpeg_args=(ffmpeg -nostdin -hide_banner -loglevel error
    -f x11grab -framerate 12 -video_size "$1" -i "$2" "${filter[@]}"
    -c:v libx264 -preset veryfast -tune zerolatency -profile:v baseline -pix_fmt nv12 -threads 0
    -crf 16 -aq-mode 0 -maxrate 6000k -bufsize 4480k -g 24 -bf 0
    -f flv -flvflags no_duration_filesize -flush_packets 1 pipe:1)
}

# Measures one capture program that is already running: its CPU and the X
# server's over the measured window, its peak memory at the end and how much
# its resident memory grew over the window.
measure_running() {  # pid, x-server-pid, label
  sleep "$warmup"
  kill -0 "$1" 2>/dev/null || { echo "$3 ended early" >&2; return 1; }
  local c0 x0 t0 c1 x1 t1 rss0
  c0=$(cpu_seconds "$1") x0=$(cpu_seconds "$2") t0=$(now_us) rss0=$(memory_kib "$1" VmRSS)
  sleep "$seconds"
  kill -0 "$1" 2>/dev/null || { echo "$3 ended during the measurement" >&2; return 1; }
  c1=$(cpu_seconds "$1") x1=$(cpu_seconds "$2") t1=$(now_us)
  run_from=$t0 run_to=$t1
  run_cpu=$(awk -v a="$c0" -v b="$c1" 'BEGIN { printf "%.2f", b - a }')
  run_x=$(awk -v a="$x0" -v b="$x1" 'BEGIN { printf "%.2f", b - a }')
  run_memory="$(memory_kib "$1" VmHWM) $(($(memory_kib "$1" VmRSS) - rss0))"
}

run_helper() {  # size, exclude-window, record
  local dir=$work/helper-$$-$RANDOM
  mkdir -p "$dir"
  DISPLAY=${display[$1]} "$probe" helper --out "$3" --pid-file "$dir/pid" --exclude "$2" "$helper" 2>"$3.log" &
  local driver=$!
  started "$driver"
  wait_for "$dir/pid" "the helper" || return 1
  measure_running "$(cat "$dir/pid")" "${xserver[$1]}" helper || { cat "$3.log" >&2; return 1; }
  kill -TERM "$driver"
  finished "$driver" || { echo "the helper run failed:" >&2; cat "$3.log" >&2; return 1; }
}

run_ffmpeg() {  # size, record
  rm -f "$2.fifo" && mkfifo "$2.fifo"
  "$probe" flv --out "$2" <"$2.fifo" 2>"$2.log" &
  local reader=$!
  started "$reader"
  ffmpeg_command "$1" "${display[$1]}"
  "${ffmpeg_args[@]}" >"$2.fifo" 2>>"$2.log" &
  local encoder=$!
  started "$encoder"
  measure_running "$encoder" "${xserver[$1]}" ffmpeg || { cat "$2.log" >&2; return 1; }
  stop "$encoder" INT
  finished "$reader" || { echo "the ffmpeg run failed:" >&2; cat "$2.log" >&2; return 1; }
}


# The scene's desktop on the size's display; sets changer_pid, window (the
# protected one) and timed (whether it paints a time code).
start_desktop() {  # scene, size, dir
  DISPLAY=${display[$2]} "$changer" --scene "$1" --log "$3/paints" >"$3/changer.out" &
  changer_pid=$!
  started "$changer_pid"
  wait_for "$3/changer.out" "the $1 desktop" || return 1
  read -r _ window _ timed <"$3/changer.out"
}

# CPU seconds per second the X server spends on the desktop alone (the
# changer's repaints) while nothing captures it.
server_idle_rate() {  # x-server-pid
  local x0 t0
  x0=$(cpu_seconds "$1") t0=$(now_us)
  sleep "$(awk -v s="$seconds" 'BEGIN { s /= 2; print (s < 3 ? 3 : s > 10 ? 10 : s) }')"
  awk -v a="$x0" -v b="$(cpu_seconds "$1")" -v t0="$t0" -v t1="$(now_us)" \
    'BEGIN { printf "%.6f", (b - a) / ((t1 - t0) / 1e6) }'
}

# One scene at one size: the desktop, the X server's rate without capture
# before and after both programs ran in the pair's order; the streams are
# read after the changer has written its paint log.
run_scene() {  # pair, scene, size
  local pair=$1 scene=$2 size=$3
  local dir=$work/$scene-$size-$pair
  mkdir -p "$dir"
  start_desktop "$scene" "$size" "$dir" || return 1
  sleep 1
  local idle_before idle_after idle_rate
  idle_before=$(server_idle_rate "${xserver[$size]}")
  local order=(helper ffmpeg)
  [ $((pair % 2)) -eq 0 ] && order=(ffmpeg helper)
  declare -A window_of
  for program in "${order[@]}"; do
    if [ "$program" = helper ]; then
      run_helper "$size" "$window" "$dir/helper.rec" || return 1
    else
      run_ffmpeg "$size" "$dir/ffmpeg.rec" || return 1
    fi
    window_of[$program]="$run_from $run_to $run_cpu $run_x $run_memory"
    echo "  $program: $(awk -v c="$run_cpu" -v f="$run_from" -v t="$run_to" \
      'BEGIN { printf "%.1f%% of a core", 100 * c / ((t - f) / 1e6) }') (program only)" >&2
  done
  idle_after=$(server_idle_rate "${xserver[$size]}")
  idle_rate=$(awk -v a="$idle_before" -v b="$idle_after" 'BEGIN { printf "%.6f", (a + b) / 2 }')
  stop "$changer_pid" TERM
  local paint_args=()
  [ "$timed" = timed ] && paint_args=(--paint-log "$dir/paints" --screen "$size")
  for program in helper ffmpeg; do
    local from to cpu xcpu peak growth
    read -r from to cpu xcpu peak growth <<<"${window_of[$program]}"
    local line
    local snapshot=()
    [ -z "$keep" ] || snapshot=(--snapshot "$dir/$program-last-frame.pgm")
    line=$("$probe" measure "$dir/$program.rec" --from "$from" --to "$to" "${paint_args[@]}" "${snapshot[@]}") ||
      return 1
    local frames bytes first_second latencies
    eval "$line"  # frames=N bytes=N first_second=N latencies=X,X,... or -
    awk -v OFS='\t' -v scene="$scene $size" -v program="$program" -v pair="$pair" -v from="$from" -v to="$to" \
      -v cpu="$cpu" -v xcpu="$xcpu" -v rate="$idle_rate" -v frames="$frames" -v bytes="$bytes" \
      -v peak="$peak" -v growth="$growth" -v first="$first_second" \
      -v latencies="$latencies" 'BEGIN {
        s = (to - from) / 1e6
        print scene, program, pair, s, cpu, xcpu - rate * s, frames, bytes, peak, growth, first, latencies
      }' >>"$results"
  done
  [ -n "$keep" ] || rm -f "$dir"/*.rec
}

# One share of --memory-frames frames (at 12 a second) of the changing
# scene, the helper's memory sampled about twenty times.
memory_over_frames() {
  local size=${sizes%%,*} dir=$work/memory-frames
  mkdir -p "$dir"
  start_desktop changing "$size" "$dir" || return 1
  DISPLAY=${display[$size]} "$probe" helper --out /dev/null --pid-file "$dir/pid" --exclude "$window" "$helper" \
    2>"$dir/helper.log" &
  local driver=$!
  started "$driver"
  wait_for "$dir/pid" "the helper" || return 1
  local pid total interval t0 elapsed=0
  pid=$(cat "$dir/pid")
  total=$((memory_frames / 12)) interval=$((memory_frames / 12 / 20))
  [ "$interval" -ge 5 ] || interval=5
  t0=$(date +%s)
  echo "one share of $size, the changing scene, $memory_frames frames at 12 a second (${total} s)"
  printf '%10s %16s %14s %14s\n' seconds "frames (at 12/s)" "VmRSS, MiB" "VmHWM, MiB"
  while [ "$elapsed" -lt "$total" ]; do
    sleep "$interval"
    elapsed=$(($(date +%s) - t0))
    kill -0 "$pid" 2>/dev/null || { echo "the helper ended early:" >&2; cat "$dir/helper.log" >&2; return 1; }
    printf '%10d %16d %14.1f %14.1f\n' "$elapsed" $((elapsed * 12)) \
      "$(awk -v k="$(memory_kib "$pid" VmRSS)" 'BEGIN { print k / 1024 }')" \
      "$(awk -v k="$(memory_kib "$pid" VmHWM)" 'BEGIN { print k / 1024 }')"
  done
  kill -TERM "$driver"
  finished "$driver" || { echo "the helper run failed:" >&2; cat "$dir/helper.log" >&2; return 1; }
  stop "$changer_pid" TERM
  grep '^helper stats' "$dir/helper.log" || true
}

# --memory-cycles shares in a row in one helper, on the changing scene.
memory_over_cycles() {
  local size=${sizes%%,*} dir=$work/memory-cycles
  mkdir -p "$dir"
  start_desktop changing "$size" "$dir" || return 1
  echo "$memory_cycles shares of $size in one helper (start, first frame, stop)" \
    "${MALLOC_ARENA_MAX:+with MALLOC_ARENA_MAX=$MALLOC_ARENA_MAX}"
  DISPLAY=${display[$size]} "$probe" cycles --count "$memory_cycles" --exclude "$window" "$helper" || return 1
  stop "$changer_pid" TERM
}

echo "helper: $helper"
echo "machine: $(nproc) cores, load average at start $(cut -d' ' -f1-3 /proc/loadavg)"
for _ in $(seq "$load"); do
  nice -n 0 sh -c 'while :; do :; done' &
  started $!
done
[ "$load" -eq 0 ] || echo "loaded with $load busy programs"
if [ -n "$memory_frames" ]; then memory_over_frames; exit; fi
if [ -n "$memory_cycles" ]; then memory_over_cycles; exit; fi
echo "ffmpeg: $(ffmpeg -hide_banner -version | head -n 1)"
echo "pairs: $pairs, measured ${seconds} s per run after ${warmup} s, sizes: $sizes"
echo "scenes: $scenes (see --help)"
echo "latency: from the paint of the time code a frame shows to that frame's arrival; one frame interval is 83.3 ms"
echo "ffmpeg encodes $([ -n "$full_size" ] && echo "the whole screen" || echo "the helper's picture size")"
read -r busy0 total0 <<<"$(machine_jiffies)"
started=$(date +%s)
for pair in $(seq "$pairs"); do
  for size in ${sizes//,/ }; do
    for scene in ${scenes//,/ }; do
      echo "pair $pair/$pairs: $scene $size ($(cut -d' ' -f1 /proc/loadavg))" >&2
      run_scene "$pair" "$scene" "$size"
    done
  done
done
read -r busy1 total1 <<<"$(machine_jiffies)"
echo "took $(($(date +%s) - started)) s; load average at end $(cut -d' ' -f1-3 /proc/loadavg);" \
  "the cores were $(awk -v b="$((busy1 - busy0))" -v t="$((total1 - total0))" 'BEGIN { printf "%.0f", 100 * b / t }')% busy" \
  "during the benchmark (its own programs included)"
echo
"$probe" table "$results"
