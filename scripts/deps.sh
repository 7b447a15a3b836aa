#!/usr/bin/env bash
# Installs what building and testing vqdnc needs and this machine lacks.
# Usage: scripts/deps.sh [build|test|all|package]
#   build: compiler and CMake; test: also GoogleTest, Google Benchmark, and
#   ser2net and socat for the device-server test, tmux for the terminal test;
#   all: also clang with its sanitizer and fuzzer runtimes, and clang-format;
#   package: compiler, CMake and the Debian tools, lintian included.
set -euo pipefail

want=(g++ cmake make)
case "${1:-test}" in
    build) ;;
    test) want+=(libgtest-dev libgmock-dev libbenchmark-dev ser2net socat tmux) ;;
    all) want+=(libgtest-dev libgmock-dev libbenchmark-dev ser2net socat tmux clang libclang-rt-14-dev clang-format) ;;
    package) want+=(dpkg-dev lintian) ;;
    *) echo "usage: $0 [build|test|all|package]" >&2; exit 2 ;;
esac

missing=()
for package in "${want[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
# Debian's ser2net comes with a service whose sample configuration serves
# /dev/ttyS0 and /dev/ttyS1, which may be the machine's own console. The tests
# start ser2net themselves, so the service is kept from starting at install
# and disabled.
no_start=""
if [[ " ${missing[*]} " == *" ser2net "* ]] && [ ! -e /usr/sbin/policy-rc.d ]; then
    no_start=/usr/sbin/policy-rc.d
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$no_start" >/dev/null
    $sudo chmod 755 "$no_start"
fi
status=0
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" || status=$?
[ -z "$no_start" ] || $sudo rm -f "$no_start"
if [[ " ${missing[*]} " == *" ser2net "* ]] && command -v systemctl >/dev/null; then
    $sudo systemctl disable --now ser2net.service >/dev/null 2>&1 || true
fi
exit "$status"
