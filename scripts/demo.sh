#!/usr/bin/env bash
# The main job, as a user meets it: a short exchange with the share helper,
# the setup program started from its bundle on a virtual display (it installs
# the helper into a fresh home folder), and protected sharing of a virtual
# display with one application's window kept out of the stream.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"

bundles="$root/build/bundles"
helper="$bundles/Tavrino Share Helper.app/Contents/MacOS/TavrinoShareHost"
setup_app="$bundles/Tavrino Sharing Setup.app"
client="$root/build/examples/wire_client/tavrino-wire-client"
out="$root/out/demo"
rm -rf "$out" && mkdir -p "$out"
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

free_display() {
  local n=90
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  echo "$n"
}
start_xvfb() {  # display-number
  Xvfb ":$1" -screen 0 1600x900x24 -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$1" ] && return 0; sleep 0.1; done
  echo "Xvfb :$1 did not start" >&2
  return 1
}

echo "== 1. The share helper speaks native messaging"
"$helper" --check-build
printf '%s\n' '{"command":"sources","request":"demo-1"}' '{"command":"hello?","request":"demo-2"}' |
  "$client" "$helper"

echo
echo "== 2. The setup program, started from its bundle on a virtual display"
n=$(free_display)
start_xvfb "$n"
home="$work/home"
mkdir -p "$home"
manifest="$home/.config/google-chrome/NativeMessagingHosts/net.tavrino.share_companion.json"
DISPLAY=":$n" HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" \
  "$setup_app/Contents/MacOS/TavrinoSharingSetup" >/dev/null 2>&1 &
setup_pid=$!
pids+=("$setup_pid")
for _ in $(seq 150); do [ -f "$manifest" ] && break; sleep 0.2; done
sleep 1.5
DISPLAY=":$n" import -window root "$out/setup-success.png" 2>/dev/null || true
kill "$setup_pid" 2>/dev/null || true
if [ -f "$manifest" ]; then
  echo "installed: $home/Applications/Tavrino Share Helper.app"
  echo "Chrome host manifest:"
  cat "$manifest"
  echo
  "$home/Applications/Tavrino Share Helper.app/Contents/MacOS/TavrinoShareHost" --check-build
  echo "screenshot of the setup window: $out/setup-success.png"
else
  echo "the setup program did not finish installing; see the window in $out/setup-success.png"
fi

echo
echo "== 3. Protected sharing of a virtual display"
n=$(free_display)
start_xvfb "$n"
DISPLAY=":$n" xmessage -name shared -geometry 760x420+80+80 \
  "An ordinary window: it is shared." >/dev/null 2>&1 &
pids+=($!)
sleep 0.5  # the protected window opens on top of it
DISPLAY=":$n" xmessage -name protected -geometry 520x220+420+300 \
  "The protected window: it never reaches the stream." >/dev/null 2>&1 &
pids+=($!)
sleep 1
window=$(DISPLAY=":$n" xdotool search --classname "^protected$" 2>/dev/null | head -n 1 || true)
printf '%s\n' '{"command":"sources","request":"demo-3"}' \
  '{"command":"start","request":"demo-4","display":"first"}' |
  DISPLAY=":$n" "$client" --hold 3 --save-stream "$out/stream.h264" "$helper" "--test-window=${window:-0}" |
  awk 'NR <= 14 || /stats|stopped|exited/'
DISPLAY=":$n" import -window root "$out/screen.png" 2>/dev/null || true
if ffmpeg -loglevel error -y -i "$out/stream.h264" -frames:v 1 "$out/stream-frame.png" 2>/dev/null; then
  convert "$out/screen.png" "$out/stream-frame.png" -resize 50% +append "$out/protected-sharing.png" 2>/dev/null || true
  echo "left: the screen as the user sees it; right: the first frame of the stream"
  echo "  $out/protected-sharing.png"
fi
echo
echo "demo finished; pictures are in $out"
