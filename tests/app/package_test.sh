#!/usr/bin/env bash
# Builds the Debian package from the build folder, unpacks it into a private
# folder and checks what it holds; runs lintian when it is installed.
#   package_test.sh BUILD_DIR VERSION [ARCH]
# ARCH is the package's Debian architecture (default: the machine's own).
# Exit 77 (skipped) when cpack or dpkg-deb is missing.
set -euo pipefail

build=$1
version=$2
arch=${3:-$(dpkg --print-architecture)}

for tool in cpack dpkg-deb; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIP: $tool is not installed"
    exit 77
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/talvex-package.XXXXXX")
# shellcheck source=server_run.sh
source "$(dirname "$0")/server_run.sh"
trap '[[ -n $pid ]] && kill -KILL "$pid" 2>/dev/null; rm -rf "$work"' EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; fail "cpack failed"; }

shopt -s nullglob
debs=("$work"/out/talvex-server_*.deb)
[[ ${#debs[@]} -eq 1 ]] || fail "expected one talvex-server package, found: ${debs[*]:-none}"
deb=${debs[0]}
echo "package: $(basename "$deb")"

[[ $(dpkg-deb -f "$deb" Package) == talvex-server ]] || fail "package name"
[[ $(dpkg-deb -f "$deb" Version) == "$version-1" ]] || fail "version $(dpkg-deb -f "$deb" Version)"

[[ $(dpkg-deb -f "$deb" Architecture) == "$arch" ]] ||
  fail "architecture $(dpkg-deb -f "$deb" Architecture), not $arch"
[[ $(basename "$deb") == *_"$arch".deb ]] || fail "file name $(basename "$deb")"

root=$work/root
dpkg-deb -x "$deb" "$root"

# Every program and library in it is built for that architecture.
case $arch in
  amd64) machine=x86-64 ;;
  arm64) machine="ARM aarch64" ;;
  *) machine= ;;
esac
elves=0
while IFS= read -r -d '' f; do
  kind=$(file -b "$f")
  [[ $kind == ELF* ]] || continue
  elves=$((elves + 1))
  [[ -z $machine || $kind == *"$machine"* ]] || fail "${f#"$root"} is not $machine: $kind"
done < <(find "$root" -type f -print0)
[[ $elves -ge 3 ]] || fail "only $elves ELF files in the package"
echo "$elves ELF files, each ${machine:-of $arch}"

expected=(
  usr/bin/talvex-server
  usr/share/applications/talvex-server.desktop
  etc/xdg/autostart/talvex-server.desktop
  usr/lib/systemd/user/talvex-server.service
  usr/share/icons/hicolor/32x32/apps/talvex-server.png
  usr/share/icons/hicolor/48x48/apps/talvex-server.png
  usr/share/icons/hicolor/64x64/apps/talvex-server.png
  usr/share/icons/hicolor/128x128/apps/talvex-server.png
  usr/share/icons/hicolor/256x256/apps/talvex-server.png
  usr/share/icons/hicolor/scalable/apps/talvex-server.svg
  usr/share/doc/talvex-server/copyright
  usr/share/doc/talvex-server/changelog.Debian.gz
  usr/share/man/man1/talvex-server.1.gz
  usr/lib/talvex/talvex-shell-qt.so
)
# The simulator and the udev rules come with their own parts of the tree.
[[ -x $build/bin/talvex-reader-sim ]] &&
  expected+=(usr/bin/talvex-reader-sim usr/share/man/man1/talvex-reader-sim.1.gz)
[[ -f $(dirname "$0")/../../packaging/udev/70-talvex-reader.rules ]] &&
  expected+=(usr/lib/udev/rules.d/70-talvex-reader.rules)
for f in "${expected[@]}"; do
  [[ -e $root/$f ]] || fail "missing /$f"
done

# The stand-in decoder never ships in the main package.
if find "$root" -name 'libWltRS*' | grep -q .; then
  fail "the stand-in decoder is in the package: $(find "$root" -name 'libWltRS*')"
fi

# Executables are executable, everything else is not; nothing is writable by others.
for f in usr/bin/talvex-server; do
  [[ -x $root/$f ]] || fail "/$f is not executable"
done
if find "$root" -perm /022 -not -type l | grep -q .; then
  fail "group/other writable: $(find "$root" -perm /022 -not -type l)"
fi

# The entries start the binary the package installs, with the icon it installs.
for entry in usr/share/applications/talvex-server.desktop etc/xdg/autostart/talvex-server.desktop; do
  grep -qx 'Exec=talvex-server' "$root/$entry" || fail "$entry: Exec"
  grep -qx 'Icon=talvex-server' "$root/$entry" || fail "$entry: Icon"
  grep -qx 'Type=Application' "$root/$entry" || fail "$entry: Type"
done
grep -qx 'ExecStart=/usr/bin/talvex-server --headless' "$root/usr/lib/systemd/user/talvex-server.service" ||
  fail "user unit does not run the headless server"

# The 32 x 32 icon is a 256-colour image.
python3 - "$root/usr/share/icons/hicolor/32x32/apps/talvex-server.png" <<'PY' || fail "32x32 icon"
import struct, sys
data = open(sys.argv[1], "rb").read()
assert data[:8] == b"\x89PNG\r\n\x1a\n"
width, height, depth, colour = struct.unpack(">IIBB", data[16:26])
assert (width, height) == (32, 32), (width, height)
assert colour == 3 and depth == 8, (colour, depth)  # palette, 8 bits
PY

# The server itself needs no GUI library; its tray shell does. (readelf reads
# the libraries it names for any architecture; ldd runs only the machine's own.)
needed=$(readelf -d "$root/usr/bin/talvex-server" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
[[ $needed == *libc.so* ]] || fail "readelf found no libraries of talvex-server: $needed"
if grep -q libQt <<<"$needed"; then
  fail "talvex-server links Qt: $(grep libQt <<<"$needed")"
fi

# Library dependencies were worked out (the shell's too), and Qt's platform
# plugins are named.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
if command -v dpkg-shlibdeps >/dev/null 2>&1; then
  [[ $depends == *libc6* ]] || fail "no libc6 in Depends"
  [[ $depends == *libqt* ]] || fail "no Qt library in Depends"
  [[ $depends == *qpa-plugins* || $depends == *libqt5gui5* ]] || fail "no Qt platform plugins in Depends"
fi

# Purging takes back the browser policy files of --browser-policy install.
dpkg-deb -I "$deb" postrm | grep -q '/etc/opt/chrome/policies/managed/talvex.json' ||
  fail "postrm does not remove the browser policy files on purge"

# The unpacked server runs.
out=$("$root/usr/bin/talvex-server" --version) || fail "talvex-server --version failed"
echo "talvex-server --version: $out"
[[ $out == *"$version"* ]] || fail "--version does not name $version"

# The service starts the way a login starts it (the autostart entry's Exec) and
# the way a kiosk's user unit starts it (ExecStart), from the unpacked tree,
# with --port N appended for a free port of this run: each answers on it and
# ends with exit code 0 on SIGTERM.
start_as() {  # NAME COMMAND-LINE [VAR=VALUE...]
  local name=$1 line=$2
  shift 2
  read -r -a cmd <<<"$line"
  [[ ${cmd[0]} == /* ]] || cmd[0]=$root/usr/bin/${cmd[0]}
  [[ ${cmd[0]} == "$root"/* ]] || cmd[0]=$root${cmd[0]}
  mkdir -p "$work/run-$name"
  serve_and_stop "$name" "$work/run-$name.out" "$work/run-$name.err" \
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_RUNTIME_DIR="$work/run-$name" "$@" \
    "${cmd[@]}"
  echo "started from $name: answered on $port, exit 0 on SIGTERM"
}
exec_line=$(sed -n 's/^Exec=//p' "$root/etc/xdg/autostart/talvex-server.desktop")
start_as autostart "$exec_line" QT_QPA_PLATFORM=offscreen
unit_line=$(sed -n 's/^ExecStart=//p' "$root/usr/lib/systemd/user/talvex-server.service")
start_as user-unit "$unit_line"

if command -v lintian >/dev/null 2>&1; then
  lintian --fail-on error --suppress-tags initial-upload-closes-no-bugs "$deb" 2>&1 |
    grep -v 'running with root privileges' || true
  lintian --fail-on error "$deb" >/dev/null 2>&1 || fail "lintian reports errors"
else
  echo "lintian not installed: not run"
fi
echo "package checks passed"
