#!/usr/bin/env bash
# The main job, as a user meets it: the setup program, started from its
# bundle, installs the share helper into a fresh home folder; Debian's
# Chromium with the reference extension (examples/extension) then shares a
# virtual desktop on which one window belongs to the protected application,
# and that window never reaches the browser.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "== Installing the Debian packages the demo needs"
scripts/install-deps.sh
echo "== Building (the first build takes a few minutes)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"

out=out/demo
rm -rf "$out" && mkdir -p "$out"
echo "== Sharing a virtual desktop with Chromium"
python3 tests/e2e/browser_share.py --demo "$out" \
  --download build/Tavrino-Sharing-Setup-*-x86_64.tar.xz \
  --fixture build/tests/x11/tavrino_window_fixture \
  --extension examples/extension
