#!/bin/sh
# Takes a picture of the real program's main window (or its about window) on an X server of
# its own, with a throw-away home and configuration, so the user's settings are not touched.
#   tools/screenshot.sh [-b BUILD_DIR] [-o OUT.png] [-l LANGUAGE] [-d] [--about]
#     -b  build directory holding the zevrin binary (default: build)
#     -o  picture to write (default: docs/screenshots/main-window.png)
#     -l  interface language code (en es fr it pt ca eu) written to the settings file
#     -d  developer options on
#     --about  open the about window from the Help menu and take that instead
# Needs Xvfb, xdotool and ImageMagick (import).
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
out="$root/docs/screenshots/main-window.png"
language=
dev_options=false
about=false
while [ $# -gt 0 ]; do
    case "$1" in
        -b) build=$(cd "$2" && pwd); shift 2 ;;
        -o) out=$2; shift 2 ;;
        -l) language=$2; shift 2 ;;
        -d) dev_options=true; shift ;;
        --about) about=true; shift ;;
        *) echo "usage: $0 [-b BUILD_DIR] [-o OUT.png] [-l LANGUAGE] [-d] [--about]" >&2; exit 2 ;;
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
    [ -n "$app" ] && kill "$app" 2>/dev/null && wait "$app" 2>/dev/null
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
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
(cd "$build" && exec ./zevrin) >"$tmp/zevrin.log" 2>&1 &
app=$!

window=$(xdotool search --sync --onlyvisible --class zevrin | head -n 1)
if [ "$about" = true ]; then
    xdotool windowfocus --sync "$window"
    xdotool key --window "$window" alt+h
    xdotool key --window "$window" a
    window=$(xdotool search --sync --onlyvisible --name "Zevrin" | while read -r w; do
        [ "$w" != "$window" ] && echo "$w"
    done | head -n 1)
fi
# Nothing says when the first frame is drawn; the window is mapped by now and draws at once.
sleep 1
mkdir -p "$(dirname "$out")"
import -window "$window" "$out"
echo "screenshot: $out"
if [ -s "$tmp/zevrin.log" ]; then
    echo "screenshot: the program said:" >&2
    cat "$tmp/zevrin.log" >&2
fi
