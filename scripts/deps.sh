#!/usr/bin/env bash
# Installs what building and testing vqdnc needs and this machine lacks.
# Usage: scripts/deps.sh [build|test|all|package]
#   build: compiler and CMake; test: also GoogleTest, Google Benchmark, and
#   ser2net and socat for the device-server test;
#   all: also clang with its sanitizer and fuzzer runtimes, and clang-format;
#   package: compiler, CMake and the Debian tools, lintian included.
set -euo pipefail

want=(g++ cmake make)
case "${1:-test}" in
    build) ;;
    test) want+=(libgtest-dev libgmock-dev libbenchmark-dev ser2net socat) ;;
    all) want+=(libgtest-dev libgmock-dev libbenchmark-dev ser2net socat clang libclang-rt-14-dev clang-format) ;;
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
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
