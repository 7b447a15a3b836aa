#!/usr/bin/env bash
# Builds vqdnc, vqsim and every test in build/, then runs all the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test
# The default preset turns tests and benchmarks on explicitly: scripts/demo.sh
# builds the same tree without them.
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)"
ctest --preset default "$@"
