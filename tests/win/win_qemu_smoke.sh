#!/usr/bin/env bash
# The shipped i686 TalvexServer.exe on a machine whose kernel runs no 32-bit
# programs: wine's 32-bit loader runs under qemu-i386 user mode, and one
# /readCard against the simulator must give the Linux server's body.
#   win_qemu_smoke.sh PYTHON   (TALVEX_WIN_BIN_DIR: the i686 build's bin/)
# Every 32-bit wine process starts through a loader wrapper that calls
# qemu-i386; 64-bit ones (wine's tools, wineserver) run natively. A start
# takes about a minute there.
set -euo pipefail
python=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
qemu=$(command -v qemu-i386) || { echo "win_qemu_smoke: qemu-i386 is missing (apt-get install qemu-user)" >&2; exit 1; }
mkdir "$tmp/loader"
# wine finds the 64-bit loader beside the 32-bit one, by name.
cat >"$tmp/loader/wine" <<WRAP
#!/bin/sh
WINELOADERNOEXEC=1 exec "$qemu" /usr/lib/wine/wine "\$@"
WRAP
chmod +x "$tmp/loader/wine"
ln -s "$wine64" "$tmp/loader/wine64"
export WINELOADER=$tmp/loader/wine
export TALVEX_WINE=$tmp/loader/wine TALVEX_WINE_TOOLS=$wine64
export TALVEX_WIN_E2E_KINDS=resident TALVEX_WIN_E2E_DEADLINE=600
exec "$python" -m unittest -v win_e2e.WindowsServer.test_cards_of_all_three_kinds_read_as_on_linux
