#!/bin/sh
# Builds what the benchmarks need and prints their table: start-up, plug-to-ready, idle cost,
# rescan cost and peak memory of the configurator, each beside its reference.
#   bench/run.sh [BUILD_DIR] [ROUNDS]
# BUILD_DIR defaults to build-bench (made here if missing, with the project's default build
# type, as `make` builds the program); ROUNDS to 10.
# Needs Xvfb, strace, umockdev, libhidapi-dev, libxdamage-dev (tools/setup.sh --test).
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-bench}
rounds=${2:-10}
if [ ! -f "$build/build.ninja" ]; then
    meson setup "$build" "$src" >/dev/null
fi
ninja -C "$build" -j2 zevrin bench/minimal_gtk bench/zevrin_bench >/dev/null
build=$(cd "$build" && pwd)
# The harness plays the virtual devices in its own process: it runs under the umockdev preload
# and starts the measured programs without it (with it for the plug-to-ready run only).
LD_PRELOAD=libumockdev-preload.so.0 NO_AT_BRIDGE=1 GSETTINGS_BACKEND=memory \
    "$src/tests/xvfb-wrap.sh" "$build/bench/zevrin_bench" "$build" "$src" "$rounds"
