#!/usr/bin/env bash
# Installs what is missing, builds the app and starts it.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target murmurly
exec build/release/bin/murmurly "$@"
