#!/usr/bin/env bash
# Fails when any tracked C++ source or header differs from what clang-format
# makes of it under the repository's .clang-format, and shows where.
# To fix the tree: git ls-files '*.cpp' '*.h' | xargs clang-format -i
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh all

listed=$(git ls-files '*.cpp' '*.h')
[ -n "$listed" ] || { echo "format-check: no tracked sources found" >&2; exit 1; }
mapfile -t sources <<<"$listed"
clang-format --dry-run --Werror "${sources[@]}"
echo "format-check: ${#sources[@]} files clean ($(clang-format --version))"
