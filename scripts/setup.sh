#!/usr/bin/env bash
# Installs everything Murmurly needs to build, test and run on Debian 12 and fetches the Silero VAD
# model (checksum verified). Safe to run again: it only installs what is missing.
#   scripts/setup.sh              build, test and run dependencies + the model
#   scripts/setup.sh --reference  also the ONNX Runtime used by the VAD reference tool and benchmark
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
deps="$root/.deps"

packages=(
    # build
    cmake ninja-build g++ pkg-config ccache clang-format
    qt6-base-dev qt6-base-dev-tools libgl-dev qcoro-qt6-dev
    libpulse-dev libsoxr-dev libsndfile1-dev libopusenc-dev libopus-dev libogg-dev
    libonnx-dev libprotobuf-dev protobuf-compiler
    libavformat-dev libavcodec-dev libswresample-dev libavutil-dev
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    # tests: a private sound server, speech, audio tools, a display server
    pulseaudio pulseaudio-utils espeak-ng sox libsox-fmt-all opus-tools xvfb xauth
    pipewire pipewire-bin wireplumber pipewire-pulse dbus ffmpeg tinyproxy clang libclang-rt-14-dev
    # packaging checks
    desktop-file-utils appstream lintian dpkg-dev file
    # run time
    libqt6widgets6 libqt6network6 qt6-qpa-plugins libqt6svg6
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Node.js and npm fetch the model from the npm registry; an existing npm (of any origin) will do.
if ! command -v npm >/dev/null 2>&1; then missing+=(nodejs npm); fi

if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# npm_fetch PACKAGE@VERSION FILE-IN-PACKAGE DEST SHA256
npm_fetch() {
    local pkg=$1 member=$2 dest=$3 sha=$4
    if [ -f "$dest" ] && echo "$sha  $dest" | sha256sum --check --status; then return 0; fi
    local tmp
    tmp=$(mktemp -d)
    (cd "$tmp" && npm pack --silent "$pkg" >/dev/null)
    tar -xzf "$tmp"/*.tgz -C "$tmp" "package/$member"
    if ! echo "$sha  $tmp/package/$member" | sha256sum --check --status; then
        echo "setup: checksum mismatch for $member of $pkg" >&2
        rm -rf "$tmp"
        exit 1
    fi
    mkdir -p "$(dirname "$dest")"
    mv "$tmp/package/$member" "$dest"
    rm -rf "$tmp"
    echo "setup: fetched $dest"
}

npm_fetch @ricky0123/vad-web@0.0.31 dist/silero_vad_v6.onnx "$deps/silero_vad_v6.onnx" \
    1a153a22f4509e292a94e67d6f9b85e8deb25b4988682b7e174c65279d8788e3

if [ "${1:-}" = "--reference" ]; then
    # ONNX Runtime for the VAD reference tool; its install script reaches for a host we cannot
    # reach, and the package already ships the native library, so scripts stay off.
    if [ ! -d "$deps/reference/node_modules/onnxruntime-node" ]; then
        mkdir -p "$deps/reference"
        (cd "$deps/reference" && npm install --silent --no-audit --no-fund --ignore-scripts \
            onnxruntime-node@1.30.0 >/dev/null)
    fi
fi
