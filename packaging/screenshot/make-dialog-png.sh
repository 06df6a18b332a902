#!/usr/bin/env bash
# Pictures the shell's window as the user sees it, under Xvfb (packages xvfb
# and xauth; openbox, when installed, draws the title bar): the server starts
# on a screen without a notification area, so it shows its window after the
# tray grace time; the window is then grabbed.
#   packaging/screenshot/make-dialog-png.sh BUILD_DIR OUTPUT.png
set -euo pipefail
build=$1
out=$2
cmake --build "$build" --target talvex-server talvex-grab-screen >/dev/null
runtime=$(mktemp -d)
trap 'rm -rf "$runtime"' EXIT
XDG_RUNTIME_DIR=$runtime xvfb-run -a -s '-screen 0 800x600x24' bash -c '
  wm=
  if command -v openbox >/dev/null 2>&1; then openbox & wm=$!; sleep 1; fi
  "$1/bin/talvex-server" & server=$!
  "$1/bin/talvex-grab-screen" "$2" 6000; rc=$?
  kill -INT $server 2>/dev/null || true; kill $server 2>/dev/null || true; wait $server 2>/dev/null || true
  [[ -n $wm ]] && kill $wm 2>/dev/null
  exit $rc' grab "$build" "$out"
