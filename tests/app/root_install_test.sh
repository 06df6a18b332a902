#!/usr/bin/env bash
# Installs the Debian package of a cross-build the way a user does, inside a
# Debian root of the package's architecture (the arm64 root of
# scripts/arm64-root): apt-get install ./talvex-server_..._ARCH.deb, so that
# apt resolves its dependencies there. Then the installed
# /usr/bin/talvex-server --headless runs in the root (the kernel hands it to
# qemu through binfmt_misc), the installed simulator stands in for the reader,
# the build's stand-in decoder lies in /usr/lib/talvex, and a card is read over
# loopback. The package is then purged and must leave none of its files.
#   root_install_test.sh ROOT BUILD_DIR
# Needs root (chroot, a mount namespace); exit 77 (skipped) without it.
set -euo pipefail

root=$1
build=$2
here=$(cd "$(dirname "$0")" && pwd)

if [[ $(id -u) -ne 0 ]] || ! command -v unshare >/dev/null 2>&1; then
  echo "SKIP: installing into the root needs root and unshare"
  exit 77
fi
# /proc and the terminals of the root are mounted in a mount namespace of
# this test's own: they vanish with it, whatever happens.
if [[ -z ${TALVEX_ROOT_TEST_NS:-} ]]; then
  exec env TALVEX_ROOT_TEST_NS=1 unshare --mount --propagation private -- "$0" "$@"
fi

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

work=$(mktemp -d "$root/tmp/talvex-install.XXXXXX")
inside=${work#"$root"}
sim_pid='' server_pid=''
cleanup() {
  [[ -n $server_pid ]] && kill -KILL "$server_pid" 2>/dev/null
  [[ -n $sim_pid ]] && kill -KILL "$sim_pid" 2>/dev/null
  wait 2>/dev/null
  # A failed run leaves no package behind in the shared root.
  if chroot "$root" dpkg-query -W -f='${Status}' talvex-server 2>/dev/null | grep -q installed; then
    rm -f "$root/usr/lib/talvex/libWltRS.so"
    chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq talvex-server >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

mount -t proc proc "$root/proc"
mount --bind /dev/pts "$root/dev/pts"

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; fail "cpack failed"; }
debs=("$work"/out/talvex-server_*.deb)
[[ -f ${debs[0]} ]] || fail "cpack made no talvex-server package"
deb=$(basename "${debs[0]}")
arch=$(chroot "$root" dpkg --print-architecture)
[[ $deb == *_"$arch".deb ]] || fail "$deb is not for the root's architecture $arch"
echo "package: $deb"

chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$inside/out/$deb" \
  >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "apt-get install ./$deb failed"; }
status=$(chroot "$root" dpkg-query -W -f='${Status} ${Architecture}' talvex-server)
[[ $status == "install ok installed $arch" ]] || fail "after apt-get install: $status"
chroot "$root" dpkg-query -L talvex-server >"$work/files"
echo "installed with apt: $status"

# first_line FILE PID: waits (60 s at most) until the process PID has written
# a whole line to FILE, and prints it; fails when the process ends first.
first_line() {
  local i
  for ((i = 0; i < 600; i++)); do
    if [[ $(wc -l <"$1") -gt 0 ]]; then
      head -n1 "$1"
      return 0
    fi
    kill -0 "$2" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# The vendor's decoder goes to /usr/lib/talvex; here the stand-in stands in.
cp "$build/bin/libWltRS.so" "$root/usr/lib/talvex/"
mkdir -m 700 "$work/ports" "$work/run"
chroot "$root" /usr/bin/talvex-reader-sim --link "$inside/ports/com7" --sample resident \
  >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
terminal=$(first_line "$work/sim.out" "$sim_pid") ||
  { cat "$work/sim.err" >&2; fail "the installed simulator did not start"; }
echo "simulator on $terminal"

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("0.0.0.0", 0)); print(s.getsockname()[1])')
chroot "$root" env -u DISPLAY -u WAYLAND_DISPLAY TALVEX_PORTS="$inside/ports" \
  XDG_RUNTIME_DIR="$inside/run" TALVEX_CONFIG=/dev/null \
  /usr/bin/talvex-server --headless --port "$port" >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
line=$(first_line "$work/server.out" "$server_pid") ||
  { cat "$work/server.err" >&2; fail "the installed server did not start"; }
[[ $line == "Talvex listening on port $port" ]] || fail "server said: $line"

PYTHONDONTWRITEBYTECODE=1 python3 - "$here/../e2e" "$port" <<'PY' || fail "the card read through the installed server"
import sys
sys.path.insert(0, sys.argv[1])
from harness import RESULT_TEXT, jpeg_size, photo_of, request
text = request(int(sys.argv[2]), timeout=90).text()
expected = RESULT_TEXT["resident"]
assert text.startswith(expected), text[:200]
assert jpeg_size(photo_of(text, expected)) == (102, 126), "photo"
print("read the resident card with its 102 x 126 photo")
PY

kill -TERM "$server_pid"
rc=0
wait "$server_pid" || rc=$?
server_pid=
[[ $rc -eq 0 ]] || fail "the installed server ended with $rc on SIGTERM"
kill -TERM "$sim_pid"
wait "$sim_pid" || true
sim_pid=

rm "$root/usr/lib/talvex/libWltRS.so"
chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q talvex-server \
  >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "apt-get purge failed"; }
if chroot "$root" dpkg-query -W -f='${Status}' talvex-server 2>/dev/null | grep -q installed; then
  fail "talvex-server still installed after the purge"
fi
while read -r f; do
  [[ -d $root$f && ! -L $root$f ]] && continue  # folders other packages share
  [[ -e $root$f || -L $root$f ]] && fail "left behind by the purge: $f"
done <"$work/files"
[[ -e $root/usr/lib/talvex ]] && fail "left behind by the purge: /usr/lib/talvex"
echo "purged: no file of the package is left"
echo "install checks passed"
