#!/usr/bin/env bash
# Builds vqdnc and the controller simulator, starts the simulator on a
# pseudo-terminal linked as COM1, and runs vqdnc at this console against it.
# Arguments are passed to vqdnc (none: console mode). vqdnc runs in the
# caller's directory, so file names and dnconfig.txt are found there.
# Example: scripts/demo.sh -fexamples/pocket.nc   or   scripts/demo.sh <examples/vacuum-head.txt
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
"$repo/scripts/deps.sh" build
cmake -S "$repo" -B "$repo/build" -DVQDNC_TESTS=OFF -DVQDNC_BENCH=OFF >/dev/null
cmake --build "$repo/build" -j"$(nproc)" --target vqdnc vqsim >/dev/null

workdir=$(mktemp -d)
sim=""
# Runs however the script ends, with the simulator alive or long dead: none of
# it may fail, or set -e would end the trap before the folder is removed.
cleanup() {
    if [ -n "$sim" ]; then
        kill "$sim" 2>/dev/null || true
        wait "$sim" 2>/dev/null || true
    fi
    rm -rf "$workdir"
}
trap cleanup EXIT
link="$workdir/com1"
"$repo/build/vqsim" --link "$link" >"$workdir/vqsim.out" 2>&1 &
sim=$!
for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.05; done
[ -e "$link" ] || { cat "$workdir/vqsim.out"; exit 1; }

# The demo keeps its job records apart from the operator's, so it can neither
# show nor clear a real machine's record, and no other channel names a device.
state="$repo/build/demo-state"
for n in $(seq 2 13); do export "VQDNC_COM$n="; done
echo "(controller simulator on $(readlink "$link") as COM1, linked at $link;"
echo " should it stop, start it again in another terminal with"
echo "   $repo/build/vqsim --link $link"
echo " and vqdnc's next command reaches it. COM2 to COM13 name no device; the"
echo " demo's job records are kept in $state)"
status=0
XDG_STATE_HOME="$state" VQDNC_COM1="$link" "$repo/build/vqdnc" "$@" || status=$?
exit "$status"
