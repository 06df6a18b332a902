#!/bin/busybox sh
# /init of the test guest. Loads the HID and USB modules, then plays the
# reader scenarios against the shipped talvex-server and reports one line
# per check on the console:
#   VMTEST <check> PASS
#   VMTEST <check> FAIL: <what was seen>
# followed by the guest's log files between "==== vm-file NAME ====" and
# "==== vm-end ====" markers, and powers off. The host decides from the lines.
/bin/busybox --install -s /bin
echo  # the firmware leaves its last console line open
export PATH=/usr/local/bin:/bin
export HOME=/root TMPDIR=/tmp
unset XDG_RUNTIME_DIR

mount -t devtmpfs dev /dev
mount -t proc proc /proc
mount -t sysfs sys /sys
# Only emergencies go to the console: a kernel message printed while a result
# line is being written would split that line and the host would not find it.
# The whole kernel log is kept as a file and sent with the others at the end.
echo 1 > /proc/sys/kernel/printk
# An empty port folder (/etc/talvex/ports): the serial scan finds no ports,
# and above all never touches ttyS0, which is this console.
mkdir -p /logs /root /run/udev/data /etc/talvex/ports
echo "$(cut -d ' ' -f 1 /proc/uptime) init" > /logs/timing.log
ifconfig lo 127.0.0.1 up  # the guest's only network

while read -r ko; do
  case $ko in
    */dummy_hcd.ko) insmod "$ko" num=5 ;;  # five UDCs: five gadgets at once
    *) insmod "$ko" ;;
  esac || echo "VMTEST setup.modules FAIL: insmod $ko"
done < /etc/vm-modules
mount -t configfs none /sys/kernel/config

PASSED=0
FAILED=0
# Seconds since boot at the start of each part, for the timing log.
mark() { echo "$(cut -d ' ' -f 1 /proc/uptime) $1" >> /logs/timing.log; }
mark modules-loaded
pass() { echo "VMTEST $1 PASS"; PASSED=$((PASSED + 1)); }
fail() { echo "VMTEST $1 FAIL: $2"; FAILED=$((FAILED + 1)); }

# The result texts of the simulator's three sample cards.
RESIDENT='0|1|张三|1|男|01|汉|20000101|某省某市某区某路1号|000000200001010000|某市公安局|20200101|20400101|'
FOREIGN='0|2|DOE JANE|2|女/F|000000000000000|USA|美国/USA|多伊|20200101|20300101|19800101|01|0000|公安部/Ministry of Public Security|'
HMT='0|3|李四|1|男|19900101|某省某市某区某路2号|000000199001010000|某市公安局|20200101|20250101|H00000000|01|'
NOT_FOUND='1|打开端口失败'
NO_CARD='128|寻卡失败'
TIMEOUT='2|PC接收数据超时'
CHECKSUM='3|PC判断校验和错'

wait_for_file() {  # FILE [tenths of a second]
  n=0
  while [ ! -e "$1" ]; do
    n=$((n + 1))
    [ "$n" -gt "${2:-100}" ] && return 1
    usleep 100000
  done
  return 0
}

SERVER=""
STARTS=0
STOPS=0
BAD_STOPS=""
start_server() {  # NAME
  STARTS=$((STARTS + 1))
  rm -rf /tmp/talvex-0
  /opt/talvex/talvex-server --headless >> "/logs/server-$1.log" 2>&1 &
  SERVER=$!
  # Listening on 10012 (0x271C, state 0A) within 30 s, or it has failed.
  n=0
  until grep -q ':271C 00000000:0000 0A' /proc/net/tcp; do
    n=$((n + 1))
    if [ "$n" -gt 300 ] || ! kill -0 "$SERVER" 2>/dev/null; then
      echo "server $1 is not listening" >> /logs/notes.log
      return
    fi
    usleep 100000
  done
}
stop_server() {
  [ -n "$SERVER" ] || return
  kill -TERM "$SERVER" 2>/dev/null
  wait "$SERVER"
  rc=$?
  STOPS=$((STOPS + 1))
  [ "$rc" -eq 0 ] || BAD_STOPS="$BAD_STOPS $rc"
  SERVER=""
}
read_card() {  # OUTFILE
  rm -f "$1"
  vm-http-get --out "$1" 2>> /logs/http-get.log ||
    echo "read into $1 failed" >> /logs/http-get.log
}

# A whole card body: the expected result text, then a Base64 JPEG.
check_card() {  # CHECK FILE EXPECTED_TEXT
  body=$(cat "$2" 2>/dev/null)
  text="${body%|*}|"
  photo="${body##*|}"
  if [ "$text" != "$3" ]; then
    fail "$1" "result text '$(echo "$body" | cut -c 1-160)'"
    return
  fi
  case $photo in
    /9j/*) ;;
    *) fail "$1" "photo text does not start with a JPEG: '$(echo "$photo" | cut -c 1-20)'"; return ;;
  esac
  if echo "$photo" | grep -q '[^A-Za-z0-9+/=]'; then
    fail "$1" "photo text holds characters outside Base64"
    return
  fi
  echo "$photo" | base64 -d > /tmp/photo.jpg 2>/dev/null
  tail=$(tail -c 2 /tmp/photo.jpg | hexdump -v -e '2/1 "%02x"')
  size=$(stat -c %s /tmp/photo.jpg)
  if [ "$tail" != ffd9 ] || [ "$size" -lt 200 ]; then
    fail "$1" "photo decodes to $size bytes ending in '$tail', not a whole JPEG"
    return
  fi
  pass "$1"
}
# Two successful reads with identical bodies (a failure body never counts).
same_read() {  # FILE REFERENCE
  cmp -s "$1" "$2" && [ "$(head -c 2 "$1")" = "0|" ]
}
check_body() {  # CHECK FILE EXPECTED_BODY
  body=$(cat "$2" 2>/dev/null)
  if [ "$body" = "$3" ]; then pass "$1"; else fail "$1" "body '$(echo "$body" | cut -c 1-80)'"; fi
}

# The commands a reader received, by name, from its request log.
requests() {  # LOG
  [ -f "$1" ] || return 0
  awk '{ c = $8 " " $9
         n = c == "12 FF" ? "probe" : c == "61 FF" ? "startup" : c == "20 01" ? "find" :
             c == "20 02" ? "select" : c == "30 01" ? "read" : "other(" $0 ")"
         printf "%s%s", sep, n; sep = " " }' "$1"
}
check_requests() {  # CHECK LOG EXPECTED
  got=$(requests "$2")
  if [ "$got" = "$3" ]; then pass "$1"; else fail "$1" "requests '$got', expected '$3'"; fi
}

UHID=""
start_uhid() {  # NAME [reader options...]
  name=$1
  shift
  rm -f "/tmp/$name.ready"
  vm-uhid-reader --ready "/tmp/$name.ready" --log "/logs/$name-requests.log" "$@" \
    >> "/logs/$name.log" 2>&1 &
  UHID=$!
  wait_for_file "/tmp/$name.ready" || echo "$name: no hidraw node" >> /logs/notes.log
}
stop_pid() {
  kill -TERM "$1" 2>/dev/null
  wait "$1" 2>/dev/null
}

G=/sys/kernel/config/usb_gadget

# ------------------------------------------------------------------ HID (uhid)
mark hid
echo resident > /tmp/hid-card
start_uhid hid-reader --card-file /tmp/hid-card
HID_READER=$UHID
start_server hid

read_card /tmp/hid-resident.txt
check_card hid.resident-body /tmp/hid-resident.txt "$RESIDENT"
check_requests hid.first-read-probes-then-starts-up /logs/hid-reader-requests.log \
  "probe startup find select read"

echo foreign > /tmp/hid-card
read_card /tmp/hid-foreign.txt
check_card hid.foreign-body /tmp/hid-foreign.txt "$FOREIGN"
echo hmt > /tmp/hid-card
read_card /tmp/hid-hmt.txt
check_card hid.hmt-body /tmp/hid-hmt.txt "$HMT"
echo none > /tmp/hid-card
read_card /tmp/hid-none.txt
check_body hid.no-card /tmp/hid-none.txt "$NO_CARD"
check_requests hid.later-reads-skip-probe-and-startup /logs/hid-reader-requests.log \
  "probe startup find select read find select read find select read find select read"

# A corrupted answer of 21 reports is caught by its checksum.
echo "resident read:checksum::1" > /tmp/hid-card
read_card /tmp/hid-checksum.txt
check_body hid.bad-checksum-detected /tmp/hid-checksum.txt "$CHECKSUM"

# Unplugged between two reads: the remembered HID transport no longer opens.
stop_pid "$HID_READER"
read_card /tmp/hid-unplugged.txt
check_body hid.unplugged /tmp/hid-unplugged.txt "$NOT_FOUND"
# Plugged in again: found again through the remembered transport.
start_uhid hid-replugged --sample resident
HID_READER=$UHID
read_card /tmp/hid-replugged.txt
body_ok=$(same_read /tmp/hid-replugged.txt /tmp/hid-resident.txt && echo yes)
seq=$(requests /logs/hid-replugged-requests.log)
if [ "$body_ok" = yes ] && [ "$seq" = "find select read" ]; then
  pass hid.replugged
else
  fail hid.replugged "same body: ${body_ok:-no}, requests '$seq'"
fi

# Another program holds the reader: discovery skips it and takes the next.
REPLUGGED_NODE=$(cat /tmp/hid-replugged.ready)
start_uhid hid-second --sample resident
SECOND_HID=$UHID
rm -f /tmp/hid-hold.ready
vm-devices hold-hid "/dev/$REPLUGGED_NODE" /tmp/hid-hold.ready >> /logs/hid-hold.log 2>&1 &
HOLDER=$!
wait_for_file /tmp/hid-hold.ready 50 || echo "could not hold $REPLUGGED_NODE" >> /logs/notes.log
before=$(requests /logs/hid-replugged-requests.log)
read_card /tmp/hid-held.txt
after=$(requests /logs/hid-replugged-requests.log)
seq=$(requests /logs/hid-second-requests.log)
if [ -f /tmp/hid-hold.ready ] && same_read /tmp/hid-held.txt /tmp/hid-resident.txt &&
  [ "$before" = "$after" ] && [ "$seq" = "find select read" ]; then
  pass hid.held-device-skipped
else
  fail hid.held-device-skipped "held $REPLUGGED_NODE: second got '$seq', first got '${after#"$before"}'"
fi
stop_pid "$HOLDER"
stop_pid "$SECOND_HID"
stop_server
stop_pid "$HID_READER"

# ------------------------------------------------------------ USB (FunctionFS)
mark usb
# A FunctionFS reader as gadget NAME on a dummy UDC. Sets FFS_PID (the
# reader program), FFS_TAG (its udev database entry) and FFS_NODE (its
# /dev/bus/usb node) once the host side has enumerated it.
# With PRODUCT_STRING and --hid it is a USB HID reader instead.
make_ffs_reader() {  # NAME PRODUCT_ID UDC CARD_FILE [PRODUCT_STRING --hid]
  g=$G/$1
  mkdir -p "$g/strings/0x409" "$g/configs/c.1/strings/0x409"
  echo 0x1d6b > "$g/idVendor"
  echo "$2" > "$g/idProduct"
  echo "KAVRO Technology" > "$g/strings/0x409/manufacturer"
  echo "${5:-Talvex USB reader}" > "$g/strings/0x409/product"
  echo reader > "$g/configs/c.1/strings/0x409/configuration"
  mkdir "$g/functions/ffs.$1"
  ln -s "$g/functions/ffs.$1" "$g/configs/c.1/"
  mkdir -p "/dev/ffs-$1"
  mount -t functionfs "$1" "/dev/ffs-$1"
  vm-ffs-reader --dir "/dev/ffs-$1" --ready "/tmp/$1.ready" --card-file "$4" \
    --log "/logs/$1-requests.log" $6 >> "/logs/$1.log" 2>&1 &
  FFS_PID=$!
  wait_for_file "/tmp/$1.ready" || echo "$1: FunctionFS reader not ready" >> /logs/notes.log
  echo "$3" > "$g/UDC"
  FFS_TAG=""
  n=0
  while [ -z "$FFS_TAG" ] && [ "$n" -lt 100 ]; do
    for d in /sys/bus/usb/devices/*; do
      [ "$(cat "$d/idProduct" 2>/dev/null)" = "${2#0x}" ] || continue
      FFS_TAG=/run/udev/data/c$(cat "$d/dev")
      FFS_NODE=/dev/bus/usb/$(printf %03d "$(cat "$d/busnum")")/$(printf %03d "$(cat "$d/devnum")")
    done
    n=$((n + 1))
    [ -n "$FFS_TAG" ] || usleep 100000
  done
  [ -n "$FFS_TAG" ] || echo "$1: the USB device did not appear" >> /logs/notes.log
}
# What udev does for the packaged rule: the properties it sets go into the
# device's database entry (the host took them from the rules file).
tag() { cat /etc/vm-usb-udev-properties > "$1"; }
untag() { rm -f "$1"; }

echo resident > /tmp/usb-card
make_ffs_reader usb-reader 0x0105 dummy_udc.0 /tmp/usb-card
FFS_READER=$FFS_PID
USB_TAG=$FFS_TAG
USB_NODE=$FFS_NODE
tag_usb() { tag "$USB_TAG"; }
untag_usb() { untag "$USB_TAG"; }
tag_usb

start_server usb
read_card /tmp/usb-resident.txt
check_card usb.resident-body /tmp/usb-resident.txt "$RESIDENT"
if same_read /tmp/usb-resident.txt /tmp/hid-resident.txt; then
  pass usb.same-body-as-hid
else
  fail usb.same-body-as-hid "the USB body differs from the HID body of the same card"
fi
echo foreign > /tmp/usb-card
read_card /tmp/usb-foreign.txt
check_card usb.foreign-body /tmp/usb-foreign.txt "$FOREIGN"
echo hmt > /tmp/usb-card
read_card /tmp/usb-hmt.txt
check_card usb.hmt-body /tmp/usb-hmt.txt "$HMT"
echo none > /tmp/usb-card
read_card /tmp/usb-none.txt
check_body usb.no-card /tmp/usb-none.txt "$NO_CARD"
check_requests usb.first-read-probes-then-starts-up /logs/usb-reader-requests.log \
  "probe startup find select read find select read find select read find select read"

# An answer cut short: the driver's receive times out (2), and the next read
# on the same reader works again.
echo "resident read:short::1" > /tmp/usb-card
read_card /tmp/usb-short.txt
check_body usb.short-answer-times-out /tmp/usb-short.txt "$TIMEOUT"
echo resident > /tmp/usb-card
read_card /tmp/usb-after-short.txt
if same_read /tmp/usb-after-short.txt /tmp/usb-resident.txt; then
  pass usb.reads-again-after-timeout
else
  fail usb.reads-again-after-timeout "body '$(cut -c 1-60 /tmp/usb-after-short.txt)'"
fi

# Another program holds the first reader: the second one is used. (A new
# service: without udevd, libusb hears of no device plugged in after its
# context was made.)
stop_server
echo resident > /tmp/usb-card-2
make_ffs_reader usb-second 0x0107 dummy_udc.2 /tmp/usb-card-2
SECOND_READER=$FFS_PID
SECOND_TAG=$FFS_TAG
tag "$SECOND_TAG"
rm -f /tmp/usb-hold.ready
vm-devices hold-usb "$USB_NODE" /tmp/usb-hold.ready >> /logs/usb-hold.log 2>&1 &
HOLDER=$!
wait_for_file /tmp/usb-hold.ready 50 || echo "could not hold $USB_NODE" >> /logs/notes.log
before=$(requests /logs/usb-reader-requests.log)
start_server held
read_card /tmp/usb-held.txt
after=$(requests /logs/usb-reader-requests.log)
seq=$(requests /logs/usb-second-requests.log)
if [ -f /tmp/usb-hold.ready ] && same_read /tmp/usb-held.txt /tmp/usb-resident.txt &&
  [ "$before" = "$after" ] && [ "$seq" = "probe startup find select read" ]; then
  pass usb.held-device-skipped
else
  fail usb.held-device-skipped "held: $(cat /tmp/usb-hold.ready 2>/dev/null), second got '$seq', first got '${after#"$before"}', body '$(cut -c 1-40 /tmp/usb-held.txt)'"
  { ls -l /run/udev/data/ /dev/bus/usb/*; echo "second tag $SECOND_TAG"; } >> /logs/notes.log 2>&1
fi
stop_pid "$HOLDER"
untag "$SECOND_TAG"
stop_server

# Untagged: the same device is never opened, let alone probed.
untag_usb
before=$(requests /logs/usb-reader-requests.log)
echo resident > /tmp/usb-card
start_server untagged
read_card /tmp/usb-untagged.txt
check_body usb.untagged-device-not-found /tmp/usb-untagged.txt "$NOT_FOUND"
after=$(requests /logs/usb-reader-requests.log)
if [ "$before" = "$after" ]; then
  pass usb.untagged-never-probed
else
  fail usb.untagged-never-probed "the untagged device received '${after#"$before"}'"
fi
stop_server

# HID and USB readers both present: HID is taken, USB left alone.
tag_usb
before=$(requests /logs/usb-reader-requests.log)
start_uhid hid-first --sample foreign
HID_READER=$UHID
start_server both
read_card /tmp/both.txt
seq=$(requests /logs/hid-first-requests.log)
after=$(requests /logs/usb-reader-requests.log)
if same_read /tmp/both.txt /tmp/hid-foreign.txt && [ "$seq" = "probe startup find select read" ] &&
  [ "$before" = "$after" ]; then
  pass auto.hid-before-usb
else
  fail auto.hid-before-usb "HID requests '$seq', USB requests added '${after#"$before"}'"
fi
stop_server
stop_pid "$HID_READER"
untag_usb

# ----------------------------------------------------- HID with 33-byte reports
mark short-reports
start_uhid hid-short --report-bytes 32
SHORT=$UHID
start_server short
read_card /tmp/short.txt
check_body hid.short-reports-refused /tmp/short.txt "$NOT_FOUND"
check_requests hid.short-reports-never-probed /logs/hid-short-requests.log ""
# A good reader enumerated after it stays hidden: discovery stops at the
# first matching device.
start_uhid hid-after-short
GOOD=$UHID
vm-devices hid > /logs/hid-find-short.log 2>&1
if grep -q 'manufacturer=KAVRO TalvexReaderDevice product=KAVRO TalvexReaderDevice input=33 output=33$' \
  /logs/hid-find-short.log; then
  pass hid.short-reports-lengths
else
  fail hid.short-reports-lengths "$(head -n 1 /logs/hid-find-short.log)"
fi
if grep -q 'input=65 output=65$' /logs/hid-find-short.log && grep -qx 'reader none' /logs/hid-find-short.log; then
  pass hid.short-reports-first-hide-later-reader
else
  fail hid.short-reports-first-hide-later-reader "$(tr '\n' ';' < /logs/hid-find-short.log)"
fi
stop_server
stop_pid "$GOOD"
stop_pid "$SHORT"

# --------------------------------------------------- USB HID gadget (usbhid)
mark usbhid-gadget
mkdir -p $G/hidreader/strings/0x409 $G/hidreader/configs/c.1/strings/0x409
echo 0x1d6b > $G/hidreader/idVendor
echo 0x0106 > $G/hidreader/idProduct
echo "KAVRO Technology" > $G/hidreader/strings/0x409/manufacturer
echo "TalvexReaderDevice" > $G/hidreader/strings/0x409/product
echo reader > $G/hidreader/configs/c.1/strings/0x409/configuration
mkdir $G/hidreader/functions/hid.usb0
echo 0 > $G/hidreader/functions/hid.usb0/protocol
echo 0 > $G/hidreader/functions/hid.usb0/subclass
echo 64 > $G/hidreader/functions/hid.usb0/report_length
# The reader's descriptor: vendor page, 64-byte input and output, no IDs.
printf '\006\000\377\011\001\241\001\011\001\025\000\046\377\000\165\010\225\100\201\002\011\001\225\100\221\002\300' \
  > $G/hidreader/functions/hid.usb0/report_desc
ln -s $G/hidreader/functions/hid.usb0 $G/hidreader/configs/c.1/
echo dummy_udc.1 > $G/hidreader/UDC
# usbhid has bound it once its hidraw node exists (the uhid ones are gone).
n=0
until [ -e /sys/class/hidraw/hidraw0 ] || [ "$n" -gt 100 ]; do
  n=$((n + 1))
  usleep 100000
done
wait_for_file /dev/hidg0 || echo "hid gadget: no /dev/hidg0" >> /logs/notes.log
vm-devices hid > /logs/hid-find-gadget.log 2>&1
if grep -q 'manufacturer=KAVRO Technology product=TalvexReaderDevice input=65 output=65$' \
  /logs/hid-find-gadget.log; then
  pass usbhid.gadget-strings-from-sysfs
else
  fail usbhid.gadget-strings-from-sysfs "$(tr '\n' ';' < /logs/hid-find-gadget.log)"
fi
if grep -qx 'reader found input=65 output=65' /logs/hid-find-gadget.log; then
  pass usbhid.gadget-is-reader
else
  fail usbhid.gadget-is-reader "$(tr '\n' ';' < /logs/hid-find-gadget.log)"
fi

# The gadget answers get-report with zeros, so its probe fails and the
# auto-detection goes on to the USB reader. The probe itself reaches the
# gadget as an output report through usbhid.
tag_usb
echo resident > /tmp/usb-card
before=$(requests /logs/usb-reader-requests.log)
dd if=/dev/hidg0 of=/tmp/hidg0.bin bs=64 count=1 2>/dev/null &
HIDG_READ=$!
start_server gadget
read_card /tmp/gadget.txt
after=$(requests /logs/usb-reader-requests.log)
usleep 200000
kill "$HIDG_READ" 2>/dev/null
# One 64-byte output report: the probe frame, then zero padding.
probe=$(hexdump -v -e '64/1 "%02X"' /tmp/hidg0.bin 2>/dev/null)
padding=$(printf '%0108d' 0)
if same_read /tmp/gadget.txt /tmp/usb-resident.txt && [ "$probe" = "AAAAAA9669000312FFEE$padding" ] &&
  [ "${after#"$before"}" = " probe startup find select read" ]; then
  pass auto.usb-after-failed-hid-probe
else
  fail auto.usb-after-failed-hid-probe \
    "gadget got '$probe', USB requests added '${after#"$before"}', body '$(cut -c 1-40 /tmp/gadget.txt)'"
fi
stop_server
untag_usb
stop_pid "$FFS_READER"
stop_pid "$SECOND_READER"

# ------------------------------------------------------- udev and a plain user
mark udev
# udevd with only the packaged rules file, as on a machine where the package
# is installed. The USB HID gadget above goes first: its probe fails, and
# discovery would stop at it.
echo "" > $G/hidreader/UDC
printf 'root:x:0:0:root:/root:/bin/sh\ntalvex:x:1000:1000:talvex:/tmp:/bin/sh\n' > /etc/passwd
printf 'root:x:0:\nplugdev:x:46:talvex\ntalvex:x:1000:\n' > /etc/group
printf 'passwd: files\ngroup: files\n' > /etc/nsswitch.conf
chmod 1777 /tmp
/lib/systemd/systemd-udevd --daemon >> /logs/udevd.log 2>&1 ||
  fail setup.udevd "systemd-udevd did not start"
udevadm trigger --type=devices --action=add >> /logs/udevd.log 2>&1
udevadm settle --timeout=60 >> /logs/udevd.log 2>&1 || echo "settle after trigger timed out" >> /logs/notes.log

# The hidraw node of the USB device with idProduct PRODUCT_ID, once it is there.
hidraw_of() {  # PRODUCT_ID
  n=0
  while [ "$n" -lt 100 ]; do
    for h in /sys/class/hidraw/hidraw*; do
      [ -e "$h" ] || continue
      d=$(readlink -f "$h/device")
      while [ "${d#/sys/}" != "$d" ] && [ ! -e "$d/idProduct" ]; do d=$(dirname "$d"); done
      [ "$(cat "$d/idProduct" 2>/dev/null)" = "${1#0x}" ] && echo "${h##*/}" && return 0
    done
    n=$((n + 1))
    usleep 100000
  done
  return 1
}
# What udev made of a node: "GID MODE TALVEX_READER TAGS".
node_state() {  # NODE
  props=$(udevadm info --query=property --name="/dev/$1" 2>/dev/null)
  echo "$(stat -c '%g %a' "/dev/$1") $(echo "$props" | sed -n 's/^TALVEX_READER=//p')" \
    "$(echo "$props" | sed -n 's/^TAGS=//p')"
}

# Plugged in while udevd runs: a HID device of the same maker that is no
# reader, then the reader (a FunctionFS HID reader that really answers).
O=$G/otherhid
mkdir -p $O/strings/0x409 $O/configs/c.1/strings/0x409 $O/functions/hid.usb0
echo 0x1d6b > $O/idVendor
echo 0x0109 > $O/idProduct
echo "KAVRO Technology" > $O/strings/0x409/manufacturer
echo "USB Keyboard" > $O/strings/0x409/product
echo other > $O/configs/c.1/strings/0x409/configuration
echo 64 > $O/functions/hid.usb0/report_length
cat $G/hidreader/functions/hid.usb0/report_desc > $O/functions/hid.usb0/report_desc
ln -s $O/functions/hid.usb0 $O/configs/c.1/
echo dummy_udc.4 > $O/UDC
OTHER_NODE=$(hidraw_of 0x0109) || echo "other HID gadget: no hidraw node" >> /logs/notes.log
echo resident > /tmp/user-card
make_ffs_reader hidffs 0x0108 dummy_udc.3 /tmp/user-card TalvexReaderDevice --hid
HIDFFS_READER=$FFS_PID
READER_NODE=$(hidraw_of 0x0108) || echo "FunctionFS HID reader: no hidraw node" >> /logs/notes.log
udevadm settle --timeout=60 >> /logs/udevd.log 2>&1 || echo "settle after plugging timed out" >> /logs/notes.log

state=$(node_state "$READER_NODE")
case $state in
  "46 660 1 "*:uaccess:*) pass udev.hid-reader-marked ;;
  *) fail udev.hid-reader-marked "$READER_NODE: gid, mode, TALVEX_READER, tags '$state'" ;;
esac
state=$(node_state "$OTHER_NODE")
case $state in
  *uaccess*) fail udev.other-hid-left-alone "$OTHER_NODE: gid, mode, TALVEX_READER, tags '$state'" ;;
  "0 600  "*) pass udev.other-hid-left-alone ;;
  *) fail udev.other-hid-left-alone "$OTHER_NODE: gid, mode, TALVEX_READER, tags '$state'" ;;
esac

# A plain user in the rules' group reads a card from it.
STARTS=$((STARTS + 1))
rm -rf /tmp/talvex-1000
su -s /bin/sh talvex -c 'exec /opt/talvex/talvex-server --headless --port 10013' \
  >> /logs/server-user.log 2>&1 &
SERVER=$!
vm-http-get --port 10013 --wait 30 --out /tmp/user.txt 2>> /logs/http-get.log ||
  echo "read into /tmp/user.txt failed" >> /logs/http-get.log
uid=$(awk '$1 == "Uid:" { print $2 }' "/proc/$SERVER/status" 2>/dev/null)
if [ "$uid" = 1000 ]; then
  check_card udev.user-reads-hid-reader /tmp/user.txt "$RESIDENT"
else
  fail udev.user-reads-hid-reader "the service ran as uid '$uid', not 1000"
fi
stop_server
stop_pid "$HIDFFS_READER"
udevadm control --exit >> /logs/udevd.log 2>&1

# ------------------------------------------------------------------ report
mark report
# Every service process ended cleanly on SIGTERM, the way --headless stops.
if [ "$STOPS" -eq "$STARTS" ] && [ "$STOPS" -gt 0 ] && [ -z "$BAD_STOPS" ]; then
  pass service.stops-cleanly
else
  fail service.stops-cleanly "$STARTS starts, $STOPS stops, exit codes other than 0:${BAD_STOPS:- none}"
fi
echo "VMTEST-DONE passed=$PASSED failed=$FAILED"
dmesg > /logs/dmesg.log 2>&1
for f in /logs/*; do
  [ -s "$f" ] || continue
  echo "==== vm-file ${f##*/} ===="
  cat "$f"
  echo
  echo "==== vm-end ===="
done
sync
poweroff -f
