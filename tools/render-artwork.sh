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

# A picture of the window, and beside it NAME@2x.png at twice the size, which the program shows
# on screens with two device pixels to the pixel (GDK_SCALE=2) so that it stays sharp there.
render_picture() { # source, output, width or "-", height or "-"
    src=$1 out=$2 width=$3 height=$4
    if [ "$width" = - ] && [ "$height" = - ]; then
        render "$src" "$out"
        render "$src" "${out%.png}@2x.png" -z 2
        return
    fi
    size= size2=
    [ "$width" = - ] || { size="-w $width"; size2="-w $((width * 2))"; }
    [ "$height" = - ] || { size="$size -h $height"; size2="$size2 -h $((height * 2))"; }
    # shellcheck disable=SC2086  # one argument per option
    render "$src" "$out" $size --keep-aspect-ratio
    # shellcheck disable=SC2086
    render "$src" "${out%.png}@2x.png" $size2 --keep-aspect-ratio
}

# Switch symbols, one per input, as large as a row of the editor is high.
for n in 1 2 3 4 5 6 7 8; do
    render_picture "symbol-$n.svg" "$images/symbols/$n.png" 40 40
done

# Model pictures: plain and highlighted at their own size, and a small highlighted one for
# the line that names the connected model.
for model in zevrin zevrin_mini; do
    render_picture "$model.svg" "$images/models/$model.png" - -
    render_picture "${model}_hl.svg" "$images/models/${model}_hl.png" - -
    render_picture "${model}_hl.svg" "$images/models/${model}_hl_small.png" - 48
done

# The about window's logos.
render_picture zevrin-icon.svg "$images/zevrin_small.png" 96 96
render_picture morvak.svg "$images/morvak.png" - -

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
