#!/bin/sh
# Builds vqdnc, vqsim and the benchmarks with optimisation and prints the
# figures: download throughput and memory, downloads at real line rates with
# and without a USB adapter's latency timer, then idle CPU and latency.
# Usage: bench/run.sh [lines [rounds]]   (the download's size and rounds;
# build in $BUILD_DIR, default build-bench at the top of the source tree)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
cmake -S "$root" --preset bench -B "$build" >/dev/null
cmake --build "$build" --target download_bench wait_bench -j "$(nproc)" >/dev/null
"$build/download_bench" "$@"
"$build/wait_bench" "$build/vqdnc" 10 2000
cmake --build "$build" --target device_server_bench -j "$(nproc)" >/dev/null && "$build/device_server_bench"
