#!/usr/bin/env bash
# TalvexServer.exe's window and tray behaviour under Xvfb and wine, driven by
# win_shell_driver.exe as the tray and the user would. The server listens on
# a free port of its own.
#   win_shell.sh WIN_BIN_DIR DRIVER_EXE [SCREENSHOT.png]
# TALVEX_WINE and TALVEX_WINESERVER name wine's loader and server (default
# Debian's wine and wineserver; /usr/lib/wine/wine64 for an x86_64 build).
set -euo pipefail
bin=$1
driver=$2
shot=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
export WINEPREFIX=$tmp/wine WINEDEBUG=-all
unset WINEARCH
mkdir -p "$WINEPREFIX"
export wine=${TALVEX_WINE:-wine} wineserver=${TALVEX_WINESERVER:-wineserver}
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
export port
cleanup() { $wineserver -k >/dev/null 2>&1 || true; rm -rf "$tmp"; }
trap cleanup EXIT
export bin driver shot here tmp
xvfb-run -a -s '-screen 0 800x600x24' bash -c '
set -u
fail() { echo "FAIL: $*"; $wineserver -k >/dev/null 2>&1; exit 1; }
d() { $wine "$driver" "$@" 2>/dev/null | tr -d "\r"; }
expect() { local got; got=$(d "$1"); [[ "$got" == "$2" ]] || fail "$1: got \"$got\", want \"$2\""; }
$wineserver -p </dev/null >/dev/null 2>&1; $wine cmd /c exit </dev/null >/dev/null 2>&1
# The dialog font (宋体) drawn with an installed CJK font, when there is one.
cjk=$(fc-list :lang=zh family 2>/dev/null | grep -m1 -o "AR PL UMing CN\|Noto Sans CJK SC\|WenQuanYi Micro Hei" || true)
if [[ -n "$cjk" ]]; then
  printf "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n\"宋体\"=\"%s\"\r\n\"SimSun\"=\"%s\"\r\n" "$cjk" "$cjk" |
    { printf "\xff\xfe"; iconv -f UTF-8 -t UTF-16LE; } >"$tmp/fonts.reg"
  $wine regedit /S "$(winepath -w "$tmp/fonts.reg" 2>/dev/null)" </dev/null >/dev/null 2>&1 || true
fi
$wine "$bin/TalvexServer.exe" --port "$port" </dev/null >/dev/null 2>&1 & server=$!
# Started hidden, service running.
for i in $(seq 1 100); do [[ $(d find) == "visible=0 start=0 stop=1" ]] && break; sleep 0.2; done
expect find "visible=0 start=0 stop=1"
curl -s -m 20 -o /dev/null http://127.0.0.1:$port/readCard || fail "service does not answer after start"
# Single and right clicks, and another icon id, do nothing; a double-click shows.
expect tray-click "visible=0 start=0 stop=1"
# A right click opens the menu (the diagnosis); dismissed, nothing changed.
expect tray-menu "visible=0 start=0 stop=1"
expect wrong-id "visible=0 start=0 stop=1"
expect tray-dblclk "visible=1 start=0 stop=1"
if [[ -n "$shot" ]]; then
  sleep 1
  $wine "$driver" grab "$(winepath -w "$tmp/dialog.bmp" 2>/dev/null)" >/dev/null 2>&1 &&
    python3 "$here/shell_driver/bmp_to_png.py" "$tmp/dialog.bmp" "$shot"
fi
# Minimise hides; double-click shows again.
expect minimise "visible=0 start=0 stop=1"
expect tray-dblclk "visible=1 start=0 stop=1"
# Stop closes the port, Start opens it again.
expect stop "visible=1 start=1 stop=0"
if curl -s -m 3 -o /dev/null http://127.0.0.1:$port/readCard; then fail "still answering after Stop"; fi
expect start "visible=1 start=0 stop=1"
curl -s -m 20 -o /dev/null http://127.0.0.1:$port/readCard || fail "no answer after Start"
# The close box is Exit: the service stops and the program ends.
d close >/dev/null
for i in $(seq 1 50); do kill -0 $server 2>/dev/null || break; sleep 0.2; done
kill -0 $server 2>/dev/null && fail "still running after close"
wait $server; rc=$?
[[ $rc -eq 0 ]] || fail "exit code $rc"
if curl -s -m 3 -o /dev/null http://127.0.0.1:$port/readCard; then fail "port open after exit"; fi
$wineserver -k >/dev/null 2>&1
echo "shell behaviour OK"
'
