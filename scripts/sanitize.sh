#!/usr/bin/env bash
# Builds vqdnc, vqsim and the whole test suite with AddressSanitizer and
# UndefinedBehaviorSanitizer in a build directory of their own, then runs every
# test under them. Any sanitizer report fails the run, also one from a vqdnc or
# vqsim that an end-to-end test started and whose exit status it did not look at.
# Usage: scripts/sanitize.sh [ctest arguments]
# The build directory is build-asan, or $VQDNC_ASAN_BUILD.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh all

build=${VQDNC_ASAN_BUILD:-build-asan}
# The asan preset builds with clang: its UndefinedBehaviorSanitizer honours
# log_path below (gcc's prints fatal reports to standard error only), and the
# code gets a second compiler.
cmake --preset asan -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)"

# Every report goes to a file here as well as failing the process that made it:
# vqdnc always exits with status 1, so a sanitizer's own exit status could not
# be told from a normal end; abort_on_error makes it a SIGABRT instead.
reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
common="halt_on_error=1:abort_on_error=1:print_stacktrace=1:log_path=$reports/report"
export ASAN_OPTIONS="$common:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
export UBSAN_OPTIONS="$common"
export LSAN_OPTIONS="$common"

status=0
ctest --test-dir "$build" --output-on-failure --no-tests=error -j2 "$@" || status=$?

if compgen -G "$reports/report*" >/dev/null; then
    echo "Sanitizer reports:"
    for report in "$reports"/report*; do
        echo "--- $report"
        cat "$report"
    done
    status=1
fi
if [ "$status" -ne 0 ]; then echo "Sanitizer run FAILED"; fi
exit "$status"
