#!/usr/bin/env bash
# Installs what is missing and builds the Debian package from the release build:
# build/release/package/murmurly_<version>_amd64.deb. Only the program is (re)built; the tests and
# benchmarks are not needed for the package.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/setup.sh >&2

export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
cmake --preset release >/dev/null
cmake --build --preset release --target murmurly
rm -f build/release/package/murmurly_*.deb
(cd build/release && cpack --config CPackConfig.cmake >/dev/null)
ls build/release/package/murmurly_*.deb
