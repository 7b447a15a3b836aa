#!/usr/bin/env bash
# Builds vqdnc and the controller simulator, starts the simulator on a
# pseudo-terminal mapped to COM1, and runs vqdnc at this console against it.
# Arguments are passed to vqdnc (none: console mode).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build
cmake -S . -B build -DVQDNC_TESTS=OFF -DVQDNC_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)" --target vqdnc vqsim >/dev/null

workdir=$(mktemp -d)
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; rm -rf "$workdir"' EXIT
build/vqsim --link "$workdir/com1" >"$workdir/vqsim.out" 2>&1 &
sim=$!
for _ in $(seq 100); do [ -e "$workdir/com1" ] && break; sleep 0.05; done
[ -e "$workdir/com1" ] || { cat "$workdir/vqsim.out"; exit 1; }

echo "(controller simulator on $(readlink "$workdir/com1") as COM1)"
status=0
VQDNC_COM1="$workdir/com1" build/vqdnc "$@" || status=$?
exit "$status"
