#!/bin/sh
# Copies compiled catalogues into the locale folder of the build directory, so that the
# program run from there (which binds its text domain to "locale/") finds them:
#   build-tree-locale.sh DEST STAMP MO...
# Each MO is .../<lang>/LC_MESSAGES/<domain>.mo and lands in DEST/<lang>/LC_MESSAGES/.
set -eu
dest=$1
stamp=$2
shift 2
for mo in "$@"; do
    messages_dir=$(dirname "$mo")
    if [ "$(basename "$messages_dir")" != LC_MESSAGES ]; then
        echo "build-tree-locale: $mo is not inside an LC_MESSAGES folder" >&2
        exit 1
    fi
    lang=$(basename "$(dirname "$messages_dir")")
    mkdir -p "$dest/$lang/LC_MESSAGES"
    # Copy, then rename: a program started meanwhile sees the old or the new catalogue.
    cp "$mo" "$dest/$lang/LC_MESSAGES/.$(basename "$mo").tmp"
    mv -f "$dest/$lang/LC_MESSAGES/.$(basename "$mo").tmp" "$dest/$lang/LC_MESSAGES/$(basename "$mo")"
done
: >"$stamp"
