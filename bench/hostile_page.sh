#!/bin/sh
# Builds and runs the hostile-page parse benchmark; prints the time per page kind.
set -e
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
[ -f "$BUILD_DIR/build.ninja" ] || cmake -S . -B "$BUILD_DIR" -G Ninja -DVANTOREL_BUILD_APP=OFF
ninja -C "$BUILD_DIR" -j2 resolve_hostile_bench
"$BUILD_DIR/bench/resolve_hostile_bench"
