#!/bin/sh
# Runs a command under an X server of its own. Xvfb picks a free display itself
# (-displayfd), so many of these can start at once without racing for a number.
# -noreset keeps a keyboard layout set with setxkbmap when its last client leaves.
# XVFB_SCREEN gives the screen's size and depth (default 1280x1024x24).
set -u
tmp=$(mktemp -d)
xvfb=
# Also when the run is stopped (meson's timeout, Ctrl-C): no X server or directory left behind.
cleanup() {
    if [ -n "$xvfb" ]; then
        kill "$xvfb" 2>/dev/null
        wait "$xvfb" 2>/dev/null
    fi
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
mkfifo "$tmp/display"
Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 "${XVFB_SCREEN:-1280x1024x24}" 3>"$tmp/display" 2>"$tmp/xvfb.log" &
xvfb=$!
read -r display <"$tmp/display" || display=
if [ -z "$display" ]; then
    echo "xvfb-wrap: Xvfb did not start:" >&2
    cat "$tmp/xvfb.log" >&2
    exit 1
fi
DISPLAY=":$display"
export DISPLAY
rc=0
"$@" || rc=$?
exit $rc
