#!/usr/bin/env bash
# Builds vqdnc and the controller simulator, starts the simulator on a
# pseudo-terminal mapped to COM1, and runs vqdnc at this console against it.
# Arguments are passed to vqdnc (none: console mode). vqdnc runs in the
# caller's directory, so file names and dnconfig.txt are found there.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
"$repo/scripts/deps.sh" build
cmake -S "$repo" -B "$repo/build" -DVQDNC_TESTS=OFF -DVQDNC_BENCH=OFF >/dev/null
cmake --build "$repo/build" -j"$(nproc)" --target vqdnc vqsim >/dev/null

workdir=$(mktemp -d)
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; rm -rf "$workdir"' EXIT
"$repo/build/vqsim" --link "$workdir/com1" >"$workdir/vqsim.out" 2>&1 &
sim=$!
for _ in $(seq 100); do [ -e "$workdir/com1" ] && break; sleep 0.05; done
[ -e "$workdir/com1" ] || { cat "$workdir/vqsim.out"; exit 1; }

echo "(controller simulator on $(readlink "$workdir/com1") as COM1)"
status=0
VQDNC_COM1="$workdir/com1" "$repo/build/vqdnc" "$@" || status=$?
exit "$status"
