#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: a release build, then the same tests
# under AddressSanitizer and UndefinedBehaviorSanitizer, then a short run of every fuzz target, then
# the Debian package built from the release build is checked (and, in CI, installed, started and
# removed).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/setup.sh
# Object files are shared between checkouts of the project (CI clones it afresh every run).
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
scripts/check-format.sh
scripts/check-layers.sh

for preset in release asan; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done

scripts/fuzz.sh 3
scripts/check-package.sh
