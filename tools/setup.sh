#!/bin/sh
# Installs what building, running and testing the configurator (--test) or building its Debian
# package (--deb) need on Debian 12 or Ubuntu.
# As root it runs apt-get; otherwise it prints the exact command and stops.
set -eu
packages="meson ninja-build pkg-config g++ gettext itstool yelp-tools libgtk-3-dev libudev-dev
  materia-gtk-theme shared-mime-info"
test_packages="libgtest-dev googletest umockdev libumockdev-dev xvfb xauth x11-xkb-utils
  xdotool x11-utils imagemagick desktop-file-utils appstream dbus dbus-x11 at-spi2-core
  python3 python3-pyatspi python3-gi gir1.2-umockdev-1.0 libxtst-dev clang libclang-rt-14-dev
  strace libhidapi-dev weston libglib2.0-bin librsvg2-bin poppler-utils"
# make deb: the package's build tools (dpkg-buildpackage wants build-essential besides what
# debian/control lists) and lintian.
deb_packages="build-essential dpkg-dev debhelper lintian"
case "${1:-}" in
    --test) packages="$packages $test_packages" ;;
    --deb) packages="$packages $deb_packages" ;;
esac
missing=
for p in $packages; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" = 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq $missing
else
    echo "Some packages are missing. Install them with:" >&2
    echo "  sudo apt-get install -y$missing" >&2
    exit 1
fi
