#!/usr/bin/env bash
# Installs what is missing, builds the app and starts it.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/setup.sh
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
cmake --preset release >/dev/null
cmake --build --preset release --target murmurly
exec build/release/bin/murmurly "$@"
