#!/usr/bin/env bash
# Runs the reader scenarios inside a qemu guest that has the real kernel HID
# and USB stacks: uhid and hidraw, usbhid on a dummy_hcd host controller, a
# FunctionFS gadget driven by libusb, and a USB HID gadget.
#
#   run-vm-tests.sh --bin BUILD/bin --cache BUILD/vm-cache --logs BUILD/vm-logs
#
# --bin     the build's output folder: talvex-server, libWltRS.so, vm-* programs
# --cache   where the guest kernel (Debian's linux-image package, unpacked,
#           with its modules) is kept between runs
# --logs    where every run leaves its guest console log and the guest's own
#           log files (RUN-console.log, RUN-<name>.log)
#
# Exit status: 0 when every scenario passed, 77 (skipped) when qemu,
# busybox-static, cpio, kmod, xz-utils or udev are not installed, 1 otherwise.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bin="" cache="" logs=""
boot_timeout=${TALVEX_VM_TIMEOUT:-240}

while [[ $# -gt 0 ]]; do
  case $1 in
    --bin) bin=$2; shift 2 ;;
    --cache) cache=$2; shift 2 ;;
    --logs) logs=$2; shift 2 ;;
    *) echo "run-vm-tests.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [[ -z $bin || -z $cache || -z $logs ]]; then
  echo "usage: run-vm-tests.sh --bin DIR --cache DIR --logs DIR" >&2
  exit 2
fi

skip() {
  echo "SKIPPED: $*"
  echo "  (apt-get install -y --no-install-recommends qemu-system-x86 busybox-static kmod cpio xz-utils udev)"
  exit 77
}
die() {
  echo "FAILED: $*" >&2
  exit 1
}

# ---------------------------------------------------------------- tools
command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 is not installed"
for tool in cpio depmod modprobe xz; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
# udevd runs in the guest with the packaged rules (Debian's udev package).
udevadm=/bin/udevadm
[[ -x $udevadm && -e /lib/systemd/systemd-udevd ]] || skip "udev is not installed (no $udevadm, /lib/systemd/systemd-udevd)"
busybox=/bin/busybox
if [[ ! -x $busybox ]] || ldd "$busybox" >/dev/null 2>&1; then
  skip "no static busybox at /bin/busybox (package busybox-static)"
fi
for tool in apt-cache apt-get dpkg-deb grep ldd; do
  command -v "$tool" >/dev/null || die "$tool is needed to build the guest"
done

for prog in vm-uhid-reader vm-ffs-reader vm-http-get vm-devices talvex-server libWltRS.so; do
  [[ -e $bin/$prog ]] || die "$bin/$prog has not been built"
done

mkdir -p "$cache" "$logs" || die "cannot create $cache or $logs"
cache=$(cd "$cache" && pwd)
logs=$(cd "$logs" && pwd)

# The modules the guest needs; their dependencies come from modprobe.
modules=(uhid hid-generic usbhid dummy_hcd libcomposite usb_f_fs usb_f_hid)

# ---------------------------------------------------------------- kernel
# Debian's current kernel package, downloaded and unpacked once into the
# cache: the uncompressed kernel image (booted through its PVH entry, which
# saves the decompression in the emulator) and an uncompressed cpio archive
# of the modules with their load order.
prepare_kernel() {
  local pkg kdir tree kver off
  pkg=$(apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }')
  if [[ -z $pkg ]]; then
    # No package lists (no apt-get update yet): a kernel cached before will do.
    kdir=$(ls -d "$cache"/linux-image-*/ 2>/dev/null | sort -V | tail -n 1)
    [[ -n $kdir && -f $kdir/ready ]] ||
      die "apt-cache does not know linux-image-amd64 (run apt-get update) and nothing is cached"
    echo "${kdir%/}"
    return
  fi
  kdir=$cache/$pkg
  if [[ -f $kdir/ready ]]; then
    echo "$kdir"
    return
  fi
  echo "vm: preparing guest kernel $pkg in $kdir" >&2
  rm -rf "$kdir"
  mkdir -p "$kdir/dl" || die "cannot create $kdir"
  chmod 777 "$kdir/dl"  # apt's download user writes there
  (cd "$kdir/dl" && apt-get download -q "$pkg" >&2) || die "apt-get download $pkg failed"
  tree=$kdir/tree
  dpkg-deb -x "$kdir"/dl/*.deb "$tree" || die "cannot unpack $pkg"
  kver=$(ls "$tree/lib/modules")
  [[ -n $kver && -f $tree/boot/vmlinuz-$kver ]] || die "$pkg holds no kernel image"
  depmod -b "$tree" "$kver" || die "depmod failed"

  # The bzImage carries the kernel as an XZ stream; the PVH entry needs the
  # ELF inside it. xz complains about the bytes after the stream: ignored.
  off=$(LC_ALL=C grep -obUaP '\xFD7zXZ\x00' "$tree/boot/vmlinuz-$kver" | head -n 1 | cut -d: -f1)
  [[ -n $off ]] || die "no XZ stream in vmlinuz-$kver"
  tail -c +$((off + 1)) "$tree/boot/vmlinuz-$kver" | xz -dc > "$kdir/vmlinux" 2>/dev/null
  [[ $(head -c 4 "$kdir/vmlinux" | od -An -tx1 | tr -d ' ') == 7f454c46 ]] ||
    die "the kernel image did not decompress to an ELF file"

  local staging=$kdir/modroot order=() m path seen=" "
  mkdir -p "$staging/etc"
  for m in "${modules[@]}"; do
    while read -r path; do
      [[ $seen == *" $path "* ]] && continue
      seen+="$path "
      order+=("$path")
    done < <(modprobe -d "$tree" -S "$kver" --show-depends "$m" | awk '$1 == "insmod" { print $2 }')
  done
  [[ ${#order[@]} -ge ${#modules[@]} ]] || die "modprobe found the modules' dependencies incomplete"
  : > "$staging/etc/vm-modules"
  for path in "${order[@]}"; do
    local rel=${path#"$tree"}
    mkdir -p "$staging$(dirname "$rel")"
    cp "$path" "$staging$rel" || die "cannot copy $rel"
    echo "$rel" >> "$staging/etc/vm-modules"
  done
  (cd "$staging" && find . | cpio -o -H newc --quiet > "$kdir/modules.cpio") ||
    die "cannot pack the modules"
  echo "$kver" > "$kdir/kver"
  rm -rf "$kdir/dl" "$tree" "$staging"  # 400 MB unpacked; only the two files are kept
  touch "$kdir/ready"
  echo "$kdir"
}

exec 9> "$cache/.lock"
flock 9  # two runs at once share one cache
kdir=$(prepare_kernel) || exit 1
exec 9>&-

# ---------------------------------------------------------------- initramfs
run=$(date -u +%Y%m%d-%H%M%S)-$$
work=$(mktemp -d "${TMPDIR:-/tmp}/talvex-vm.XXXXXX") || die "mktemp failed"
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root"/{bin,dev,proc,sys,tmp,run,etc,opt/talvex,usr/local/bin} || die "staging failed"

cp "$busybox" "$root/bin/busybox"
cp "$here/guest-init.sh" "$root/init" && chmod 755 "$root/init"
cp "$bin/talvex-server" "$bin/libWltRS.so" "$root/opt/talvex/"
for prog in vm-uhid-reader vm-ffs-reader vm-http-get vm-devices; do
  cp "$bin/$prog" "$root/usr/local/bin/"
done

# Shared libraries as ldd resolves them here, kept at the same paths.
copy_libs() {
  local f lib
  for f in "$@"; do
    while read -r lib; do
      [[ -e $root$lib ]] && continue
      mkdir -p "$root$(dirname "$lib")"
      cp -L "$lib" "$root$lib" || die "cannot copy $lib"
    done < <(ldd "$f" 2>/dev/null | grep -oE '/[^ ]+' | sort -u)
  done
}
mkdir -p "$root/lib/systemd" "$root/usr/lib/udev/rules.d"
cp "$udevadm" "$root/bin/udevadm"
ln -s /bin/udevadm "$root/lib/systemd/systemd-udevd"
rules=$here/../../packaging/udev/70-talvex-reader.rules
[[ -f $rules ]] || die "no packaged udev rules file at $rules"
cp "$rules" "$root/usr/lib/udev/rules.d/"  # the only rules the guest's udevd has
copy_libs "$root"/opt/talvex/* "$root"/usr/local/bin/* "$root/bin/udevadm"
if [[ -e /lib64/ld-linux-x86-64.so.2 && ! -e $root/lib64/ld-linux-x86-64.so.2 ]]; then
  mkdir -p "$root/lib64" && cp -L /lib64/ld-linux-x86-64.so.2 "$root/lib64/"
fi

# The properties the packaged udev rules file gives a USB reader's node, as
# udev would write them into its database ("E:NAME=VALUE" lines); the guest
# has no udev while those scenarios run and puts them there itself.
awk '/^[[:space:]]*#/ { next }
{
  if (sub(/\\$/, "")) { line = line $0; next }
  line = line $0
  if (line ~ /SUBSYSTEM=="usb"/) {
    s = line
    while (match(s, /ENV\{[A-Za-z0-9_]+\}="[^"]*"/)) {
      a = substr(s, RSTART, RLENGTH); s = substr(s, RSTART + RLENGTH)
      gsub(/ENV\{|\}|"/, "", a); print "E:" a
    }
  }
  line = ""
}' "$rules" > "$root/etc/vm-usb-udev-properties"
[[ -s $root/etc/vm-usb-udev-properties ]] || die "the udev rules file sets no property on USB readers"

# The kernel unpacks concatenated archives one after the other.
{
  cat "$kdir/modules.cpio" &&
    (cd "$root" && find . | cpio -o -H newc --quiet)
} > "$work/initrd.cpio" || die "cannot build the initramfs"
rm -rf "$root"

# ---------------------------------------------------------------- boot
console=$logs/$run-console.log
echo "vm: booting $(cat "$kdir/kver") (initramfs $(($(stat -c %s "$work/initrd.cpio") / 1048576)) MiB), log $console"
start=$(date +%s)
timeout "$boot_timeout" qemu-system-x86_64 -accel tcg -m 1024 -smp 1 -nographic -no-reboot \
  -nic none -kernel "$kdir/vmlinux" -initrd "$work/initrd.cpio" \
  -append 'console=ttyS0 quiet panic=-1' </dev/null > "$console" 2>&1
qemu_rc=$?
echo "vm: guest ran $(($(date +%s) - start)) s (qemu exit $qemu_rc)"

# The guest writes its own log files to the console between markers.
tr -d '\r' < "$console" | awk -v prefix="$logs/$run-" '
  /^==== vm-file [A-Za-z0-9._-]+ ====$/ { out = prefix $3; printf "" > out; next }
  /^==== vm-end ====$/ { if (out != "") close(out); out = ""; next }
  out != "" { print >> out }'

# ---------------------------------------------------------------- verdict
# Every check the guest must report as passed; a check that is missing from
# the console counts as failed.
expected=(
  hid.resident-body hid.first-read-probes-then-starts-up hid.foreign-body hid.hmt-body
  hid.no-card hid.later-reads-skip-probe-and-startup hid.bad-checksum-detected hid.unplugged
  hid.replugged hid.held-device-skipped
  usb.resident-body usb.same-body-as-hid usb.foreign-body usb.hmt-body usb.no-card
  usb.first-read-probes-then-starts-up usb.short-answer-times-out usb.reads-again-after-timeout
  usb.held-device-skipped usb.untagged-device-not-found usb.untagged-never-probed
  auto.hid-before-usb
  hid.short-reports-refused hid.short-reports-never-probed hid.short-reports-lengths
  hid.short-reports-first-hide-later-reader
  usbhid.gadget-strings-from-sysfs usbhid.gadget-is-reader auto.usb-after-failed-hid-probe
  udev.hid-reader-marked udev.other-hid-left-alone udev.user-reads-hid-reader
  service.stops-cleanly
)
missing=0
failed=0
for name in "${expected[@]}"; do
  line=$(tr -d '\r' < "$console" | grep -o -m 1 "VMTEST $name .*")
  if [[ $line == "VMTEST $name PASS" ]]; then
    echo "  pass  $name"
  elif [[ -n $line ]]; then
    echo "  FAIL  ${line#VMTEST }"
    failed=$((failed + 1))
  else
    echo "  FAIL  $name (not reported by the guest)"
    missing=$((missing + 1))
  fi
done
passed=$((${#expected[@]} - failed - missing))
# Failures of the guest's set-up steps are not in the list but fail the run.
extra=$(tr -d '\r' < "$console" | grep -o 'VMTEST .* FAIL.*' | grep -v -F -f <(printf 'VMTEST %s \n' "${expected[@]}"))
if [[ -n $extra ]]; then
  echo "$extra" | sed 's/^VMTEST /  FAIL  /'
  failed=$((failed + $(echo "$extra" | wc -l)))
fi
if ! tr -d '\r' < "$console" | grep -q 'VMTEST-DONE'; then
  echo "  the guest did not finish (timed out after $boot_timeout s, or crashed)"
  failed=$((failed + 1))
fi
echo "vm: $passed passed, $((failed + missing)) failed (logs: $logs/$run-*.log)"
if [[ $failed -ne 0 || $missing -ne 0 ]]; then
  echo "---- last console lines ----"
  tr -d '\r' < "$console" | grep -v '^VMTEST' | tail -n 40
  exit 1
fi
exit 0
