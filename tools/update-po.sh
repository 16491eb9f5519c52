#!/bin/sh
# Regenerates the message template po/zevrin.pot from the files listed in po/POTFILES and
# merges it into every catalogue named in po/LINGUAS. Run it after changing texts, then
# translate what msgmerge left untranslated or fuzzy.
#
#   tools/update-po.sh            template and merge, in the source tree
#   tools/update-po.sh --pot FILE only write a fresh template to FILE (used by the tests)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
po="$root/po"

pot="$po/zevrin.pot"
merge=1
if [ "${1:-}" = "--pot" ]; then
    [ $# -eq 2 ] || { echo "usage: $0 [--pot FILE]" >&2; exit 2; }
    pot=$2
    merge=0
fi

# Every listed file must exist: a missing one would silently drop its texts from the
# template and turn their translations obsolete.
files=$(sed -e 's/#.*//' -e 's/[[:space:]]*$//' -e '/^$/d' "$po/POTFILES")
for f in $files; do
    if [ ! -f "$root/$f" ]; then
        echo "update-po: $f is listed in po/POTFILES but does not exist" >&2
        exit 1
    fi
done

# The keywords of <glib/gi18n.h>: _ and N_ take the text, C_ and NC_ a context and the text.
# Only comments starting with TRANSLATORS: reach the translators (xgettext takes a single
# tag, and it is case-sensitive). Glade files are recognised by their extension.
# shellcheck disable=SC2086
(cd "$root" && xgettext \
    --package-name=zevrin \
    --package-version="$(sed -n "s/^ *version *: *'\([^']*\)'.*/\1/p" meson.build | head -n 1)" \
    --from-code=UTF-8 \
    --add-comments=TRANSLATORS: --add-location=file \
    --keyword=_ --keyword=N_ --keyword=C_:1c,2 --keyword=NC_:1c,2 \
    --flag=N_:1:pass-c-format --flag=C_:2:pass-c-format --flag=NC_:2:pass-c-format \
    --flag=g_strdup_printf:1:c-format --flag=printf_string:1:c-format --flag=g_message:1:c-format \
    --flag=gtk_message_dialog_new:5:c-format \
    --output="$pot" \
    $files)

[ $merge = 1 ] || exit 0

for lang in $(sed -e 's/#.*//' "$po/LINGUAS"); do
    if [ -f "$po/$lang.po" ]; then
        msgmerge --quiet --update --backup=none --previous "$po/$lang.po" "$pot"
    else
        msginit --no-translator --locale="$lang" --input="$pot" --output-file="$po/$lang.po"
    fi
done

# What is still to do, per language.
for lang in $(sed -e 's/#.*//' "$po/LINGUAS"); do
    printf '%s: ' "$lang"
    msgfmt --check --statistics --output-file=/dev/null "$po/$lang.po" 2>&1
done
