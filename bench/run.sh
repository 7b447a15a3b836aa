#!/bin/sh
# Builds vqdnc, vqsim and the benchmarks with optimisation and prints the
# figures: download throughput and memory, downloads at real line rates with
# and without a USB adapter's latency timer, idle CPU and latency, then
# downloads through ser2net and socat (which must be installed).
# Usage: bench/run.sh [lines [rounds [other-vqdnc]]]
#   lines, rounds: the download through a pseudo-terminal (default 10000
#     lines, 7 rounds);
#   other-vqdnc: the path of another version's vqdnc, run beside this one in
#     the same rounds, for the two side by side on the same machine load.
# The build is in $BUILD_DIR, default build-bench at the top of the source tree.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
cmake -S "$root" --preset bench -B "$build" >/dev/null
cmake --build "$build" --target download_bench wait_bench -j "$(nproc)" >/dev/null
"$build/download_bench" "$@"
"$build/wait_bench" "$build/vqdnc" 10 2000
cmake --build "$build" --target device_server_bench -j "$(nproc)" >/dev/null && "$build/device_server_bench"
