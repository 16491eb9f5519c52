#!/bin/sh
# Takes a picture of the real program's main window (or its about window) on an X server of
# its own, with a throw-away home and configuration, so the user's settings are not touched.
#   tools/screenshot.sh [-b BUILD_DIR] [-o OUT.png] [-l LANGUAGE] [-d] [--about] [--device MODEL]
#     -b  build directory holding the zevrin binary (default: build)
#     -o  picture to write (default: docs/screenshots/main-window.png)
#     -l  interface language code (en es fr it pt ca eu) written to the settings file
#     -d  developer options on
#     --about  open the about window from the Help menu and take that instead
#     --device zevrin|mini  plug in an emulated device (umockdev) holding a sample configuration
#              and take the window once the program has read it
# Needs Xvfb, xdotool and ImageMagick (import); --device also umockdev and python3-gi with
# the UMockdev typelib (gir1.2-umockdev-1.0).
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
out="$root/docs/screenshots/main-window.png"
language=
dev_options=false
about=false
device=
while [ $# -gt 0 ]; do
    case "$1" in
        -b) build=$(cd "$2" && pwd); shift 2 ;;
        -o) out=$2; shift 2 ;;
        -l) language=$2; shift 2 ;;
        -d) dev_options=true; shift ;;
        --about) about=true; shift ;;
        --device) device=$2; shift 2 ;;
        *) echo "usage: $0 [-b BUILD_DIR] [-o OUT.png] [-l LANGUAGE] [-d] [--about] [--device zevrin|mini]" >&2; exit 2 ;;
    esac
done
case "$out" in /*) ;; *) out="$(pwd)/$out" ;; esac

for tool in Xvfb xdotool import; do
    command -v "$tool" >/dev/null || { echo "screenshot: $tool is missing" >&2; exit 1; }
done
[ -x "$build/zevrin" ] || { echo "screenshot: no $build/zevrin; build it first" >&2; exit 1; }

tmp=$(mktemp -d)
xvfb=
app=
cleanup() {
    set +e
    [ -n "$app" ] && { kill "$app"; wait "$app"; } 2>/dev/null
    [ -n "$xvfb" ] && { kill "$xvfb"; wait "$xvfb"; } 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT INT TERM

mkfifo "$tmp/display"
Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1280x1024x24 3>"$tmp/display" 2>"$tmp/xvfb.log" &
xvfb=$!
read -r display <"$tmp/display" || { echo "screenshot: Xvfb did not start" >&2; cat "$tmp/xvfb.log" >&2; exit 1; }
export DISPLAY=":$display"

export HOME="$tmp/home" XDG_CONFIG_HOME="$tmp/config" XDG_RUNTIME_DIR="$tmp/run"
mkdir -p "$HOME" "$XDG_CONFIG_HOME/zevrin" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
export NO_AT_BRIDGE=1 GSETTINGS_BACKEND=memory
if [ -n "$language" ] || [ "$dev_options" = true ]; then
    {
        echo "[language]"
        echo "lang=${language:-en}"
        echo "[dev_options]"
        echo "show_dev_options=$dev_options"
    } >"$XDG_CONFIG_HOME/zevrin/config"
fi

# From the build directory the program finds its data in ../data, the source tree's.
if [ -z "$device" ]; then
    (cd "$build" && exec ./zevrin) >"$tmp/zevrin.log" 2>&1 &
    app=$!
else
    case "$device" in
        zevrin) product=0102 ;;
        mini) product=0103 ;;
        *) echo "screenshot: --device takes zevrin or mini" >&2; exit 2 ;;
    esac
    # The emulated device answers the program's read requests with a sample configuration
    # and says when it has sent the last reply.
    cat >"$tmp/device.py" <<'EOF'
import os, pty, shutil, signal, subprocess, sys, tty
import gi
gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev

build, product, ready = sys.argv[1], sys.argv[2], sys.argv[3]
testbed = UMockdev.Testbed.new()
root = testbed.get_root_dir()
os.makedirs(root + "/dev", exist_ok=True)
master, slave = pty.openpty()
tty.setraw(master)
tty.setraw(slave)
os.symlink(os.ttyname(slave), root + "/dev/hidraw0")
# A vendor collection with 8-byte input and output reports and no report IDs.
descriptor = "0600FF0901A101090215002600FF7508950881020903750895089102C0"
name = "Morvak Zevrin Mini" if product == "0103" else "Morvak Zevrin"
usb = "/devices/pci0000:00/0000:00:14.0/usb1/1-1"
interface = usb + "/1-1:1.0"
hid = interface + "/0003:EE50:%s.0001" % product
testbed.add_from_string(
    "P: %s/hidraw/hidraw0\nE: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/hidraw0\nA: dev=241:0\n\n"
    "P: %s\nE: SUBSYSTEM=hid\nE: DRIVER=hid-generic\nE: HID_ID=0003:0000EE50:0000%s\n"
    "E: HID_NAME=%s\nH: report_descriptor=%s\n\n"
    "P: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceClass=03\n\n"
    "P: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=ee50\nA: idProduct=%s\n"
    "A: product=%s\n" % (hid, hid, product, name, descriptor, interface, usb, product.lower(), name))

env = dict(os.environ, UMOCKDEV_DIR=root, LD_PRELOAD="libumockdev-preload.so.0")
program = subprocess.Popen(["./zevrin"], cwd=build, env=env)
# Stopping this script stops the program and removes the emulated /sys and /dev.
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))

# kind, code, modifiers, auto-release of switches 1 to 8: a left click, a right click, the
# space bar, Control+Enter, joystick button 1, joystick up, mouse up, a double click.
switches = [(0, 0, 0, 1), (0, 1, 0, 1), (1, 0x2C, 0, 1), (1, 0x28, 1, 0),
            (2, 0, 0, 1), (4, 4, 0, 0), (3, 4, 0, 0), (0, 2, 0, 0)]
settings = (5, 18, 7, 40, 150, 115)
pending = b""
try:
    while program.poll() is None:
        try:
            data = os.read(master, 64)
        except OSError:
            break
        pending += data
        while len(pending) >= 9:
            report, pending = pending[:9], pending[9:]
            if report[1] == 0x09 and report[2] == 0x00:
                i = report[3]
                kind, code, modifiers, auto_release = switches[i]
                os.write(master, bytes([0x09, 0, i, kind, code, modifiers, auto_release, 0]))
            elif report[1] == 0x09 and report[2] == 0x01:
                os.write(master, bytes([0x0A, 0]) + bytes(settings))
                open(ready, "w").close()
finally:
    if program.poll() is None:
        program.terminate()
        program.wait()
    shutil.rmtree(root, ignore_errors=True)
EOF
    # The distribution's python has gi; one earlier on PATH (pyenv, venv) may not.
    python=/usr/bin/python3
    [ -x "$python" ] || python=python3
    "$python" "$tmp/device.py" "$build" "$product" "$tmp/read" >"$tmp/zevrin.log" 2>&1 &
    app=$!
fi

# The window appears within a second or two; give up after a generous while.
window=
for _ in $(seq 300); do
    window=$(xdotool search --onlyvisible --class zevrin 2>/dev/null | head -n 1) || true
    [ -n "$window" ] && break
    kill -0 "$app" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$window" ]; then
    echo "screenshot: no window appeared; the program said:" >&2
    cat "$tmp/zevrin.log" >&2
    exit 1
fi
if [ "$about" = true ]; then
    xdotool windowfocus --sync "$window"
    xdotool key --window "$window" alt+h
    xdotool key --window "$window" a
    window=$(xdotool search --sync --onlyvisible --name "Zevrin" | while read -r w; do
        [ "$w" != "$window" ] && echo "$w"
    done | head -n 1)
fi
if [ -n "$device" ]; then
    # The read ends half a second after the last reply; the refresh follows at once.
    while [ ! -e "$tmp/read" ]; do
        kill -0 "$app" 2>/dev/null || { echo "screenshot: the emulated device stopped" >&2; cat "$tmp/zevrin.log" >&2; exit 1; }
        sleep 0.1
    done
    sleep 1
fi
# Nothing says when the first frame is drawn; the window is mapped by now and draws at once.
sleep 1
mkdir -p "$(dirname "$out")"
# With no window manager a window that grew stays where it was, partly off the screen.
xdotool windowmove --sync "$window" 0 0
sleep 0.5
import -window "$window" "$out"
echo "screenshot: $out"
if [ -s "$tmp/zevrin.log" ]; then
    echo "screenshot: the program said:" >&2
    cat "$tmp/zevrin.log" >&2
fi
