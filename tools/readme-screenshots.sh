#!/bin/sh
# Makes the README's pictures of the window again, from the real program on an X server and a
# session bus of its own, with a throw-away home (the user's settings are not touched):
#   tools/readme-screenshots.sh [BUILD_DIR] [-l LANGUAGE] [-o OUT_DIR]
#     BUILD_DIR  holds the zevrin binary and its catalogues (default: build; build it first)
#     -l         interface language code (en es fr it pt ca eu; default en)
#     -o         folder for the pictures (default: docs/screenshots/readme)
# Writes into the folder (tools/manual-screenshots.sh uses the same set for the user manual):
#   no-device.png     started with no device plugged in
#   reading.png       a Zevrin plugged in that has not answered yet (an emulated umockdev
#                     device that never answers; the program gives up after a few seconds)
#   zevrin.png        ready, with the built-in demo Zevrin
#   zevrin-mini.png   ready, with the built-in demo Zevrin Mini
#   keyboard-rows.png two rows of the demo Zevrin that send keys
# The program is watched through the accessibility bus (tests/e2e/atspi_driver.py), so each
# picture is taken once the window shows what it should.
# Needs Xvfb, xdotool, ImageMagick, dbus-run-session, at-spi2-core, python3-pyatspi, and for
# reading.png umockdev with python3-gi and gir1.2-umockdev-1.0 (all installed by
# `tools/setup.sh --test`).
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
language=en
out=$root/docs/screenshots/readme
while [ $# -gt 0 ]; do
    case "$1" in
        -l) language=$2; shift 2 ;;
        -o) out=$2; shift 2 ;;
        -*) echo "usage: $0 [BUILD_DIR] [-l LANGUAGE] [-o OUT_DIR]" >&2; exit 2 ;;
        *) build=$1; shift ;;
    esac
done
build=$(cd "$build" && pwd)
mkdir -p "$out"
out=$(cd "$out" && pwd)

for tool in Xvfb xdotool import convert dbus-run-session; do
    command -v "$tool" >/dev/null || { echo "readme-screenshots: $tool is missing" >&2; exit 1; }
done
[ -x "$build/zevrin" ] || { echo "readme-screenshots: no $build/zevrin; build it first" >&2; exit 1; }

# Everything below runs on a private session bus, where the program and the driver meet.
if [ -z "${ZEVRIN_SCREENSHOTS_BUS:-}" ]; then
    ZEVRIN_SCREENSHOTS_BUS=1 exec dbus-run-session -- "$0" "$build" -l "$language" -o "$out"
fi

tmp=$(mktemp -d)
xvfb=
app=
device=
cleanup() {
    [ -n "$app" ] && kill "$app" 2>/dev/null && wait "$app" 2>/dev/null
    [ -n "$device" ] && kill "$device" 2>/dev/null && wait "$device" 2>/dev/null
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT INT TERM

mkfifo "$tmp/display"
Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1280x1024x24 3>"$tmp/display" 2>"$tmp/xvfb.log" &
xvfb=$!
read -r display <"$tmp/display" || { echo "readme-screenshots: Xvfb did not start" >&2; cat "$tmp/xvfb.log" >&2; exit 1; }
export DISPLAY=":$display"

export HOME="$tmp/home" XDG_CONFIG_HOME="$tmp/home/.config" XDG_CACHE_HOME="$tmp/home/.cache"
export GSETTINGS_BACKEND=memory LANGUAGE=en LANG=C.UTF-8
unset NO_AT_BRIDGE ZEVRIN_DEMO LC_ALL LC_MESSAGES
mkdir -p "$HOME" "$XDG_CONFIG_HOME/zevrin"
printf '[language]\nlang=%s\n[dev_options]\nshow_dev_options=false\n' "$language" >"$XDG_CONFIG_HOME/zevrin/config"

driver() { /usr/bin/python3 "$root/tests/e2e/atspi_driver.py" "$@"; }

# text_of TEXT: the window's text in the chosen language, from the build's catalogues, without the
# mnemonic underline (as the accessibility bus names it).
text_of() {
    /usr/bin/python3 -c 'import gettext, sys
t = gettext.translation("zevrin", sys.argv[1], [sys.argv[2]], fallback=True)
print(t.gettext(sys.argv[3]).replace("_", ""))' "$build/locale" "$language" "$1"
}
tab=$(printf '\t')

# start [VAR=VALUE...]: the program from the build directory (its data is the source tree's).
start() {
    XDG_RUNTIME_DIR="$tmp/run.$$.$(date +%s%N)"
    mkdir -m 700 "$XDG_RUNTIME_DIR"
    export XDG_RUNTIME_DIR
    (cd "$build" && exec env "$@" ./zevrin) >>"$tmp/zevrin.log" 2>&1 &
    app=$!
}

stop() {
    kill "$app" 2>/dev/null || true
    wait "$app" 2>/dev/null || true
    app=
}

# wait_shown ROLE NAME: until the program shows that object (30 s at most).
wait_shown() {
    i=0
    until driver dump "$app" 2>/dev/null | grep -q "^$1$tab$2${tab}s"; do
        i=$((i + 1))
        if [ $i -gt 60 ] || ! kill -0 "$app" 2>/dev/null; then
            echo "readme-screenshots: the window never showed $1 \"$2\"" >&2
            cat "$tmp/zevrin.log" >&2
            exit 1
        fi
        sleep 0.5
    done
}

# shoot NAME: the main window as it is now.
shoot() {
    window=$(xdotool search --sync --onlyvisible --pid "$app" | head -n 1)
    import -window "$window" "$out/$1.png"
    echo "readme-screenshots: $out/$1.png"
}

# No device.
start
wait_shown label "$(text_of "Please connect a Zevrin device to the computer")"
shoot no-device
stop

# Reading: an emulated Zevrin that takes the requests and never answers.
cat >"$tmp/device.py" <<'EOF'
import os, pty, sys, tty
import gi
gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev

ready = sys.argv[1]
testbed = UMockdev.Testbed.new()
root = testbed.get_root_dir()
os.makedirs(root + "/dev", exist_ok=True)
master, slave = pty.openpty()
tty.setraw(master)
tty.setraw(slave)
os.symlink(os.ttyname(slave), root + "/dev/hidraw0")
# One vendor collection with 8-byte input and output reports and no report IDs.
descriptor = "0600FF" "0901" "A101" "0902" "1500" "26FF00" "7508" "9508" "8102" "0903" "9508" "9102" "C0"
usb = "/devices/pci0000:00/0000:00:14.0/usb1/1-1"
interface = usb + "/1-1:1.0"
hid = interface + "/0003:EE50:0102.0001"
testbed.add_from_string(
    "P: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=ee50\nA: idProduct=0102\n\n"
    "P: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceClass=03\n\n"
    "P: %s\nE: SUBSYSTEM=hid\nE: DRIVER=hid-generic\nE: HID_ID=0003:0000EE50:00000102\n"
    "E: HID_NAME=Morvak Zevrin\nH: report_descriptor=%s\n\n"
    "P: %s/hidraw/hidraw0\nE: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/hidraw0\nA: dev=241:0\n"
    % (usb, interface, hid, descriptor, hid))
with open(ready + ".tmp", "w") as f:
    f.write(root)
os.rename(ready + ".tmp", ready)
while True:
    try:
        if not os.read(master, 64):
            break
    except OSError:
        break
EOF
/usr/bin/python3 "$tmp/device.py" "$tmp/testbed" >>"$tmp/device.log" 2>&1 &
device=$!
i=0
until [ -e "$tmp/testbed" ]; do
    i=$((i + 1))
    if [ $i -gt 300 ] || ! kill -0 "$device" 2>/dev/null; then
        echo "readme-screenshots: the emulated device did not start" >&2
        cat "$tmp/device.log" >&2
        exit 1
    fi
    sleep 0.1
done
start UMOCKDEV_DIR="$(cat "$tmp/testbed")" LD_PRELOAD=libumockdev-preload.so.0
wait_shown label "$(text_of "Reading configuration...")"
shoot reading
stop
kill "$device" 2>/dev/null || true
wait "$device" 2>/dev/null || true
device=

# Ready, with the demo devices.
start ZEVRIN_DEMO=mini
wait_shown "push button" "$(text_of _Write)"
shoot zevrin-mini
stop

start ZEVRIN_DEMO=zevrin
wait_shown "push button" "$(text_of _Write)"
shoot zevrin
# Switches 4 and 5 of the demo Zevrin send keys: the pair of rows, cut out of the window.
# Each row is the parent of its switch's symbol; a little of the window is kept around them.
set -- $(driver extents "$app" icon "$(text_of "Switch 4")" 1) $(driver extents "$app" icon "$(text_of "Switch 5")" 1)
margin=8
left=$(($1 > margin ? $1 - margin : 0))
top=$(($2 > margin ? $2 - margin : 0))
width=$(($3 + 2 * margin))
height=$(($6 + $8 - $2 + 2 * margin))
convert "$out/zevrin.png" -crop "${width}x$height+$left+$top" +repage "$out/keyboard-rows.png"
echo "readme-screenshots: $out/keyboard-rows.png"
stop

if [ -s "$tmp/zevrin.log" ]; then
    echo "readme-screenshots: the program said:" >&2
    cat "$tmp/zevrin.log" >&2
fi
