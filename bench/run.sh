#!/bin/sh
# Builds what the benchmarks need and prints their table: start-up, plug-to-ready, write, the
# switch test's report to the row lit, the command line's export and import, idle cost, rescan
# cost and peak memory of the configurator, each beside its reference.
#   bench/run.sh [BUILD_DIR] [ROUNDS]
# BUILD_DIR defaults to build-bench (made here if missing, with the project's default build
# type, as `make` builds the program); it may be anywhere, in the source tree or not. ROUNDS
# defaults to 10.
# Needs Xvfb, strace, umockdev, libhidapi-dev, libxdamage-dev, libxtst-dev (tools/setup.sh --test).
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-bench}
rounds=${2:-10}
if [ ! -f "$build/build.ninja" ]; then
    meson setup "$build" "$src" -Dtests=true >/dev/null
fi
# The catalogues too: the programs run with the build's locale/ (the harness links it).
ninja -C "$build" -j2 zevrin bench/minimal_gtk bench/zevrin_bench po/build-tree-locale.stamp >/dev/null
build=$(cd "$build" && pwd)
# The harness plays the virtual devices in its own process: it runs under the umockdev preload
# and starts the measured programs without it (with it for the plug-to-ready run only).
LD_PRELOAD=libumockdev-preload.so.0 NO_AT_BRIDGE=1 GSETTINGS_BACKEND=memory \
    "$src/tests/xvfb-wrap.sh" "$build/bench/zevrin_bench" "$build" "$src" "$rounds"
