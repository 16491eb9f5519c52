#!/bin/sh
# Builds the manual of one language as web pages, for computers without a help viewer.
#   build-html.sh OUT_DIR LANG HELP_DIR YELP_BUILD ITSTOOL MSGFMT PAGE...
# LANG is C for the English pages of HELP_DIR/C; any other language is translated from
# HELP_DIR/LANG/LANG.po as the installed Mallard pages are (itstool), with the pictures of
# HELP_DIR/LANG/figures where it has its own. OUT_DIR is made anew: one LANG/PAGE.html a page,
# the pictures beside them, and the style and scripts that yelp-build gives them.
set -eu
out=$1 lang=$2 help=$3 yelp_build=$4 itstool=$5 msgfmt=$6
shift 6
case "$out" in /*) ;; *) out="$(pwd)/$out" ;; esac
case "$help" in /*) ;; *) help="$(pwd)/$help" ;; esac
work="$out.tmp"
rm -rf "$work" "$out"
mkdir -p "$work/pages/figures"
if [ "$lang" = C ]; then
    for page in "$@"; do
        cp "$help/C/$page" "$work/pages/"
    done
else
    "$msgfmt" -o "$work/$lang.mo" "$help/$lang/$lang.po"
    (cd "$help/C" && "$itstool" -m "$work/$lang.mo" -o "$work/pages/" "$@")
fi
cp "$help/C/figures/"*.png "$work/pages/figures/"
if [ "$lang" != C ] && [ -d "$help/$lang/figures" ]; then
    for figure in "$help/$lang/figures/"*.png; do
        [ -e "$figure" ] && cp "$figure" "$work/pages/figures/"
    done
fi
mkdir -p "$work/html"
"$yelp_build" html -o "$work/html/" "$work/pages/"
[ -f "$work/html/index.html" ] || { echo "build-html: yelp-build made no index.html for $lang" >&2; exit 1; }
mv "$work/html" "$out"
rm -rf "$work"
