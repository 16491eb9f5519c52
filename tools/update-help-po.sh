#!/bin/sh
# Extracts the user manual's template help/C/zevrin.pot from the pages of help/C and merges it
# into the catalogue of every language named in help/LINGUAS. Run it after changing a page or a
# picture, then translate what msgmerge left untranslated or fuzzy. Each language has pictures
# of its own under the same names (help/LANG/figures), so the references to pictures, which
# change with every new picture, are taken over as they are.
set -eu
help=$(cd "$(dirname "$0")/../help" && pwd)

(cd "$help/C" && itstool -o zevrin.pot $(sed -n "s/^ *'\([^']*\.page\)',\$/\1/p" ../meson.build))

for lang in $(sed -e 's/#.*//' "$help/LINGUAS"); do
    po="$help/$lang/$lang.po"
    mkdir -p "$help/$lang"
    if [ -f "$po" ]; then
        msgmerge --quiet --update --backup=none --previous "$po" "$help/C/zevrin.pot"
    else
        msginit --no-translator --locale="$lang" --input="$help/C/zevrin.pot" --output-file="$po"
    fi
    # The reference to a picture, in whichever lines msgmerge wrapped it, becomes its own
    # translation, no longer fuzzy.
    /usr/bin/python3 - "$po" <<'PY'
import sys
path = sys.argv[1]
entries = open(path, encoding="utf-8").read().split("\n\n")
for i, entry in enumerate(entries):
    lines = entry.split("\n")
    if not any(l.startswith("msgid ") for l in lines):
        continue
    start = next(k for k, l in enumerate(lines) if l.startswith("msgid "))
    end = start + 1
    while end < len(lines) and lines[end].startswith('"'):
        end += 1
    msgid = lines[start:end]
    if not "".join(l[l.index('"') + 1:-1] for l in msgid).startswith("external ref="):
        continue
    kept = [l for l in lines[:start] if not l.startswith("#|") and l != "#, fuzzy"]
    entries[i] = "\n".join(kept + msgid + ["msgstr" + msgid[0][len("msgid"):]] + msgid[1:])
open(path, "w", encoding="utf-8").write("\n\n".join(entries))
PY
done

# What is still to do, per language.
for lang in $(sed -e 's/#.*//' "$help/LINGUAS"); do
    printf '%s: ' "$lang"
    msgfmt --check --statistics --output-file=/dev/null "$help/$lang/$lang.po" 2>&1
done
