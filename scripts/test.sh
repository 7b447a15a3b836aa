#!/usr/bin/env bash
# Builds vqdnc, vqsim and every test in build/, then runs all the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test
# Tests and benchmarks on explicitly: scripts/demo.sh builds the same tree without them.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVQDNC_TESTS=ON -DVQDNC_BENCH=ON >/dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure --no-tests=error -j2 "$@"
