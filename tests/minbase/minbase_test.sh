#!/usr/bin/env bash
# Tries the download as a new user would on a desktop that has nothing beyond
# X11 and the libraries every desktop has: a minimal Debian 12 root made
# afresh from the mirror this machine's apt already uses, with Xvfb and only
# the allow-listed libraries; in it, as an ordinary user, the unpacked
# archive's launcher opens the setup window, which installs the helper and
# both browser manifests; then the installed helper answers --check-build and
# a "sources" request. Nothing is kept between runs.
#
#   tests/minbase/minbase_test.sh BUILD-DIR
#
# Run as root (debootstrap, chroot, mounts). BUILD-DIR provides the download
# archive and the terminal peer (examples/wire_client) that speaks the
# helper's framing from outside the root.
set -euo pipefail

# Everything the root gets beyond the minimal base: the X server for the
# session and the libraries a stock X11 desktop is sure to have.
root_packages=(
  xvfb xauth
  libx11-6 libx11-xcb1 libxcb1 libxcb-shm0 libxcb-randr0 libxcb-xfixes0 libxcb-render0
  libfontconfig1 libfreetype6 libgl1 libegl1 libopengl0 libglib2.0-0 libdbus-1-3 libxkbcommon0
  zlib1g libpng16-16 libharfbuzz0b
)
user_id=1000
user_name=sharer
install_seconds=60

say() { printf 'minbase: %s\n' "$*"; }
fail() { say "$*" >&2; exit 1; }

# ---------------------------------------------------------------------------
# Inside a private mount and process namespace: every mount made here goes
# away with it, and so does every process started in the root.
if [ "${1:-}" = "--in-namespace" ]; then
  work=$2 archive=$3 wire_client=$4 mirror=$5
  root=$work/root
  home=/home/$user_name
  log=$work/debootstrap.log

  started=$SECONDS
  # In memory, dpkg's many syncs cost nothing; the memory goes with the namespace.
  mkdir "$root"
  mount -t tmpfs -o mode=0755,size=3g tmpfs "$root"
  # Every package is downloaded afresh into this run's folder, which goes with it.
  debs=$work/debs
  mkdir "$debs"
  included=$(IFS=,; echo "${root_packages[*]}")
  if ! debootstrap --variant=minbase --include="$included" --cache-dir="$debs" bookworm "$root" "$mirror" \
      >"$log" 2>&1; then
    # The last lines say why, with the mirror's address masked.
    tail -n 15 "$log" | sed "s|$mirror|<mirror>|g" >&2
    fail "The minimal Debian root could not be made."
  fi
  say "minimal root made in $((SECONDS - started)) s ($(du -sm --one-file-system "$root" | cut -f1) MB)"

  mount -t proc proc "$root/proc"
  mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
  mkdir -p "$root/dev/shm" "$root/dev/pts"
  mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
  mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"

  chroot "$root" useradd --create-home --uid "$user_id" --user-group --shell /bin/sh "$user_name"
  install -d -o "$user_id" -g "$user_id" -m 0700 "$root/run/user/$user_id"
  # As the user, with the umask a desktop session has; xz is no part of a
  # minimal root, so the host's tools unpack.
  xz -dc "$archive" | setpriv --reuid="$user_id" --regid="$user_id" --clear-groups \
    sh -c "umask 022 && tar -x -C '$root$home'"

  in_root=(/usr/sbin/chroot --userspec="$user_id:$user_id" "$root" /usr/bin/env -i HOME="$home" USER="$user_name"
           LOGNAME="$user_name" PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 XDG_RUNTIME_DIR="/run/user/$user_id")
  as_user() {  # command... (paths inside the root); $limit: seconds, 0 for none
    timeout --kill-after=5 "${limit:-0}" "${in_root[@]}" ${display:+DISPLAY=$display} "$@"
  }

  # A display number free in this network namespace (the X server's abstract
  # socket is shared with the host's X servers).
  display=
  number_file=$work/display
  as_user Xvfb -displayfd 1 -screen 0 1280x800x24 -nolisten tcp >"$number_file" 2>"$work/xvfb.log" &
  for _ in $(seq 100); do
    [ -s "$number_file" ] && break
    sleep 0.1
  done
  [ -s "$number_file" ] || { cat "$work/xvfb.log" >&2; fail "Xvfb did not start in the minimal root."; }
  display=:$(head -n 1 "$number_file")

  unpacked=$(find "$root$home" -mindepth 1 -maxdepth 1 -type d -name 'Tavrino-Sharing-Setup-*-x86_64' | head -n 1)
  [ -n "$unpacked" ] || fail "The archive holds no Tavrino-Sharing-Setup-<version>-x86_64 folder."
  launcher=${unpacked#"$root"}/Tavrino\ Sharing\ Setup
  [ -x "$root$launcher" ] || fail "The archive has no executable launcher \"Tavrino Sharing Setup\" at its top."

  helper="$home/Applications/Tavrino Share Helper.app/Contents/MacOS/TavrinoShareHost"
  manifests=("$home/.config/google-chrome/NativeMessagingHosts/net.tavrino.share_companion.json"
             "$home/.config/chromium/NativeMessagingHosts/net.tavrino.share_companion.json")
  installed() {
    [ -x "$root$helper" ] && [ -f "$root${manifests[0]}" ] && [ -f "$root${manifests[1]}" ]
  }

  started=$SECONDS
  as_user "$launcher" >"$work/setup.log" 2>&1 &
  setup_pid=$!
  until installed; do
    if ! kill -0 "$setup_pid" 2>/dev/null; then
      status=0
      wait "$setup_pid" || status=$?
      tail -n 20 "$work/setup.log" >&2
      fail "The setup program ended with status $status before it had installed anything."
    fi
    if [ $((SECONDS - started)) -ge "$install_seconds" ]; then
      tail -n 20 "$work/setup.log" >&2
      fail "The setup window did not install the helper and both manifests within $install_seconds s."
    fi
    sleep 0.5
  done
  say "the setup window installed the helper and both manifests in $((SECONDS - started)) s"

  build_line=$(limit=20 as_user "$helper" --check-build 2>&1) && [[ $build_line == "Tavrino Share Helper "* ]] ||
    { printf '%s\n' "$build_line" >&2; fail "The installed helper does not run: --check-build failed."; }
  say "--check-build: $build_line"

  # The host's terminal peer frames the request and prints each message on a
  # line; the helper itself runs in the root, as the user.
  replies=$work/replies.txt
  printf '%s\n' '{"command":"sources","request":"r1"}' |
    timeout 30 "$wire_client" --hold 1 "${in_root[@]}" DISPLAY="$display" "$helper" >"$replies" 2>&1 || true
  messages=$(grep '^helper → ' "$replies" || true)
  if ! sed -n 1p <<<"$messages" | grep -q '"type":"hello"' ||
     ! sed -n 2p <<<"$messages" | grep -Eq '"request":"r1".*"type":"(sources|error)"|"type":"(sources|error)".*"request":"r1"'; then
    cat "$replies" >&2
    fail "The installed helper did not answer \"hello\" and then the \"sources\" request."
  fi
  say "the installed helper answered: $(sed -n 2p <<<"$messages" | cut -c1-160)"
  exit 0
fi

# ---------------------------------------------------------------------------
build=$(cd "${1:?usage: tests/minbase/minbase_test.sh BUILD-DIR}" && pwd)
archives=("$build"/Tavrino-Sharing-Setup-*-x86_64.tar.xz)
archive=${archives[0]}
[ -f "$archive" ] || fail "There is no download archive (Tavrino-Sharing-Setup-<version>-x86_64.tar.xz) in $build."
wire_client=$build/examples/wire_client/tavrino-wire-client
[ -x "$wire_client" ] || fail "The terminal peer $wire_client has not been built."
[ "$(id -u)" -eq 0 ] || fail "This test makes a Debian root with debootstrap and needs to run as root."
command -v debootstrap >/dev/null || fail "debootstrap is not installed (scripts/install-deps.sh installs it)."
# The Debian archive this machine installs from, as apt itself reads its
# sources (either file format); printed nowhere.
mirror=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 'Created-By: Packages' |
  awk '$2 == "bookworm" || $2 == "stable" { print $1; exit }')
[ -n "$mirror" ] || fail "No Debian 12 archive is configured in this machine's apt sources."

work=$(mktemp -d /var/tmp/tavrino-minbase.XXXXXX)
chmod 0755 "$work"  # the user in the root unpacks into it
inner=
cleanup() {
  if [ -n "$inner" ]; then
    kill -TERM "$inner" 2>/dev/null || true
    wait "$inner" 2>/dev/null || true
  fi
  # The mounts lived in the namespace; should one have escaped, removing
  # stays on this file system and never reaches into it.
  if grep -q " $work/" /proc/self/mountinfo; then
    say "Mounts under $work remain; it is left in place." >&2
  else
    rm -rf --one-file-system "$work"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

started=$SECONDS
# A bound on the whole stage; the namespace's first process ends everything
# started inside when it ends.
timeout --kill-after=10 600 unshare --mount --pid --fork --kill-child --propagation private -- \
  "$0" --in-namespace "$work" "$archive" "$wire_client" "$mirror" &
inner=$!
status=0
wait "$inner" || status=$?
inner=
if [ "$status" -ne 0 ]; then
  fail "The download did not install and run on a minimal Debian 12 root ($((SECONDS - started)) s)."
fi
say "the download installs and runs on a minimal Debian 12 root ($((SECONDS - started)) s)."
