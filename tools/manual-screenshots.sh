#!/bin/sh
# Makes the user manual's pictures again, in every language of the manual, from the real
# program (the README's set of pictures, see tools/readme-screenshots.sh):
#   tools/manual-screenshots.sh [BUILD_DIR]      (default: build; build it first)
# Writes help/C/figures/*.png in English and help/LANG/figures/*.png for each language of
# help/LINGUAS, then refreshes the manual's catalogues: a picture that changes changes the
# reference to it that each catalogue carries.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}

"$root/tools/readme-screenshots.sh" "$build" -l en -o "$root/help/C/figures"
for lang in $(sed -e 's/#.*//' "$root/help/LINGUAS"); do
    "$root/tools/readme-screenshots.sh" "$build" -l "$lang" -o "$root/help/$lang/figures"
done
"$root/tools/update-help-po.sh"
