#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the benchmarks and the demo need.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive
packages=(
  build-essential cmake ninja-build pkg-config git
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libasio-dev nlohmann-json3-dev libutf8proc-dev
  libx264-dev libyuv-dev
  libavcodec-dev libavutil-dev ffmpeg
  libxcb1-dev libxcb-randr0-dev libxcb-res0-dev libxcb-composite0-dev
  libxcb-xfixes0-dev libxcb-shm0-dev libxcb-image0-dev libxcb-icccm4-dev libxcb-util-dev
  libxcb-damage0-dev libxcb-shape0-dev picom
  qt6-base-dev libgl-dev
  libssl-dev openssl libplist-dev uuid-dev libglib2.0-dev
  patchelf xz-utils
  procps xvfb xauth x11-utils xdotool imagemagick
  chromium openbox python3 xfwm4 dbus
  debootstrap debian-archive-keyring util-linux
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Run with administrator rights, the tests start the programs that install
# into a home folder as this ordinary user, as people run them.
if [ "$(id -u)" -eq 0 ] && ! getent passwd tavrino-tester >/dev/null; then
  useradd --system --user-group --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin tavrino-tester ||
    getent passwd tavrino-tester >/dev/null
fi
