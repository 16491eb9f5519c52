#!/bin/sh
# After `meson install` into a live prefix: refresh the icon theme cache, the desktop database
# and the MIME database so the launcher, its icon and the type of configuration files show at
# once. Staged installs (DESTDIR, packages) leave
# that to the package manager's triggers; a missing tool is skipped.
#   post-install.sh DATADIR
set -eu
[ -z "${DESTDIR:-}" ] || exit 0
datadir=$1
if command -v gtk-update-icon-cache >/dev/null 2>&1 && [ -d "$datadir/icons/hicolor" ]; then
    gtk-update-icon-cache -q -t -f "$datadir/icons/hicolor" || true
fi
if command -v update-desktop-database >/dev/null 2>&1 && [ -d "$datadir/applications" ]; then
    update-desktop-database -q "$datadir/applications" || true
fi
if command -v update-mime-database >/dev/null 2>&1 && [ -d "$datadir/mime/packages" ]; then
    update-mime-database "$datadir/mime" || true
fi
