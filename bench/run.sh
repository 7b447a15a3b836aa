#!/bin/sh
# Builds vqdnc, vqsim and the download benchmark with optimisation and prints
# the figures. Usage: bench/run.sh [lines [rounds]]   (build in $BUILD_DIR,
# default build-bench at the top of the source tree)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVQDNC_TESTS=OFF -DVQDNC_BENCH=ON >/dev/null
cmake --build "$build" --target download_bench -j "$(nproc)" >/dev/null
exec "$build/download_bench" "$@"
