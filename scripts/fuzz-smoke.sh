#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang and runs each for a short,
# fixed number of inputs, starting from its seed corpus. Any crash, sanitizer
# report or broken rule fails the run; the input that did it is kept in
# <build>/fuzz-artifacts/. New inputs found go to a scratch directory, never
# into fuzz/corpus/.
# Usage: scripts/fuzz-smoke.sh [target...]   (default: every target)
# Environment: VQDNC_FUZZ_BUILD (build-fuzz), VQDNC_FUZZ_RUNS (20000 inputs a
# target), VQDNC_FUZZ_SEED (1; the same inputs every run).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh all

build=${VQDNC_FUZZ_BUILD:-build-fuzz}
runs=${VQDNC_FUZZ_RUNS:-20000}
seed=${VQDNC_FUZZ_SEED:-1}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(config word console exchange download vacuum modal record)

cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}"

artifacts="$build/fuzz-artifacts"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$artifacts"

failed=()
for target in "${targets[@]}"; do
    mkdir -p "$scratch/$target"
    echo "fuzz_$target: $runs inputs"
    if ! "$build/fuzz_$target" -runs="$runs" -seed="$seed" -timeout=20 \
        -artifact_prefix="$artifacts/$target-" -print_final_stats=1 \
        "$scratch/$target" "fuzz/corpus/$target" >"$scratch/$target.log" 2>&1; then
        tail -n 60 "$scratch/$target.log"
        failed+=("$target")
    fi
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$scratch/$target.log" || true
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "Fuzz smoke run FAILED: ${failed[*]} (inputs in $artifacts)"
    exit 1
fi
echo "fuzz-smoke: ${#targets[@]} passed, 0 failed"
