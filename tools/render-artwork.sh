#!/bin/sh
# Renders the vector sources in data/artwork into the pictures and icons that the program and
# the desktop use. The rendered files are committed, so building needs none of this; run it
# after changing a source and commit the results.
#   tools/render-artwork.sh            (from anywhere in the source tree)
# Needs rsvg-convert (librsvg2-bin) and ImageMagick (convert or magick) for the .ico file.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
art="$root/data/artwork"
images="$root/data/images"
icons="$root/data/icons"
app_id=io.github.morvak.Zevrin

command -v rsvg-convert >/dev/null || { echo "render-artwork: rsvg-convert missing (apt-get install librsvg2-bin)" >&2; exit 1; }
if command -v magick >/dev/null; then im=magick
elif command -v convert >/dev/null; then im=convert
else echo "render-artwork: ImageMagick missing (apt-get install imagemagick)" >&2; exit 1
fi

render() { # source, output, extra rsvg-convert options
    src=$1 out=$2
    shift 2
    mkdir -p "$(dirname "$out")"
    rsvg-convert "$@" "$art/$src" -o "$out"
}

# Switch symbols, one per input, as large as a row of the editor is high.
for n in 1 2 3 4 5 6 7 8; do
    render "symbol-$n.svg" "$images/symbols/$n.png" -w 40 -h 40
done

# Model pictures: plain and highlighted at their own size, and a small highlighted one for
# the line that names the connected model.
for model in zevrin zevrin_mini; do
    render "$model.svg" "$images/models/$model.png"
    render "${model}_hl.svg" "$images/models/${model}_hl.png"
    render "${model}_hl.svg" "$images/models/${model}_hl_small.png" -h 48 --keep-aspect-ratio
done

# The about window's logos.
render zevrin-icon.svg "$images/zevrin_small.png" -w 96 -h 96
render morvak.svg "$images/morvak.png"

# Desktop icon theme sizes and the scalable icon.
for size in 16 22 24 32 48 64 128 256; do
    render zevrin-icon.svg "$icons/hicolor/${size}x$size/apps/$app_id.png" -w $size -h $size
done
mkdir -p "$icons/hicolor/scalable/apps"
cp "$art/zevrin-icon.svg" "$icons/hicolor/scalable/apps/$app_id.svg"

# The window icon, with the sizes window managers and task bars ask for.
ico_sizes=
for size in 16 24 32 48 64 128 256; do
    ico_sizes="$ico_sizes $icons/hicolor/${size}x$size/apps/$app_id.png"
done
# shellcheck disable=SC2086  # one argument per size
$im $ico_sizes "$icons/zevrin.ico"

echo "render-artwork: pictures written under data/images and data/icons"
