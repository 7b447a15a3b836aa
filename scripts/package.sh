#!/usr/bin/env bash
# Builds the Debian package with Debian's hardening flags in a build directory
# of its own and checks it with lintian; any lintian error fails the run.
# Usage: scripts/package.sh [cmake options]   (makes build-package/vqdnc_<version>_<arch>.deb)
#   e.g. scripts/package.sh -DVQDNC_MAINTAINER="Name <mail>"
# The build directory is build-package, or $VQDNC_PACKAGE_BUILD.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh package

build=${VQDNC_PACKAGE_BUILD:-build-package}
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVQDNC_TESTS=OFF -DVQDNC_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/*.deb)

echo "lintian $deb"
lintian --fail-on error --info "$deb"
echo "package: $deb, lintian: no errors"
