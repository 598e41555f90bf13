#!/usr/bin/env bash
# Builds the Debian package from the release build and checks it: what it holds, the launcher
# entry, the AppStream description and lintian. In CI (CI=true) it also installs the package on
# the machine, runs the installed program and removes the package again.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

fail() {
    echo "check-package: $*" >&2
    exit 1
}

deb=$(scripts/package.sh | tail -n 1)
id=com.murmurly.Murmurly
version=$(build/release/bin/murmurly --version | sed -n 's/^Murmurly //p')
[ -n "$version" ] || fail "build/release/bin/murmurly --version printed no version"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version differs from murmurly --version ($version)"
[[ "$deb" == */murmurly_${version}_amd64.deb ]] || fail "unexpected package name $deb"

contents=$(dpkg-deb -c "$deb" | awk '{ print $NF }')
for path in usr/bin/murmurly usr/share/murmurly/silero_vad_v6.onnx \
    usr/share/applications/$id.desktop usr/share/metainfo/$id.metainfo.xml \
    usr/share/icons/hicolor/scalable/apps/$id.svg usr/share/icons/hicolor/scalable/apps/$id-symbolic.svg \
    usr/share/icons/hicolor/scalable/apps/$id-recording-symbolic.svg \
    usr/lib/x86_64-linux-gnu/murmurly/libmurmurly-media.so \
    usr/share/man/man1/murmurly.1.gz usr/share/doc/murmurly/copyright; do
    grep -qx "\./$path" <<<"$contents" || fail "$deb lacks /$path"
done

# The manual page names every option that --help lists.
manual=$(sed 's/\\-/-/g' packaging/murmurly.1)
for option in $(build/release/bin/murmurly --help | grep -oE '^ +(-[a-z?], )?--[a-z-]+' | grep -oE -- '--[a-z-]+'); do
    [ "$option" = --help-all ] || grep -qwe "$option" <<<"$manual" || fail "packaging/murmurly.1 does not describe $option"
done

tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
dpkg-deb -x "$deb" "$tree"
# Hints count too: a launcher entry without a main category lands in a catch-all menu.
findings=$(desktop-file-validate "$tree/usr/share/applications/$id.desktop" 2>&1) || true
[ -z "$findings" ] || fail "desktop-file-validate: $findings"
grep -q "<release version=\"$version\"" "$tree/usr/share/metainfo/$id.metainfo.xml" ||
    fail "the AppStream file has no release entry for $version"
findings=$(appstreamcli validate-tree --no-net --explain "$tree" 2>&1) || fail "appstreamcli: $findings"
# Lintian warns that it runs as root (as CI does); only its findings matter here.
lintian --fail-on error "$deb" 2> >(grep -v 'running with root privileges' >&2)
echo "check-package: $deb is complete and valid"

[ "${CI:-}" = true ] || exit 0

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
(cd "$(dirname "$deb")" &&
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "./$(basename "$deb")" >/dev/null)
trap 'DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get purge -y -qq murmurly >/dev/null; rm -rf "$tree"' EXIT

[ "$(/usr/bin/murmurly --version)" = "Murmurly $version" ] || fail "/usr/bin/murmurly --version is wrong"

# A first start of the installed program, as a new user without a display: it must find the model
# that came with the package and quit in order when asked to.
home="$tree/home"
mkdir -p "$home/runtime" && chmod 700 "$home/runtime"
env -u MURMURLY_VAD_MODEL HOME="$home" XDG_RUNTIME_DIR="$home/runtime" XDG_DATA_HOME="$home/data" \
    XDG_CONFIG_HOME="$home/config" XDG_CACHE_HOME="$home/cache" QT_QPA_PLATFORM=offscreen \
    /usr/bin/murmurly >"$home/log" 2>&1 &
pid=$!
expected="VAD model: /usr/share/murmurly/silero_vad_v6.onnx"
for _ in $(seq 100); do
    grep -qF "$expected" "$home/log" && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.2
done
kill -TERM "$pid" 2>/dev/null || true
status=0
wait "$pid" || status=$?
grep -qF "$expected" "$home/log" || { cat "$home/log" >&2; fail "the installed program did not find its model"; }
[ "$status" -eq 0 ] || { cat "$home/log" >&2; fail "the installed program ended with status $status"; }

DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get purge -y -qq murmurly >/dev/null
trap 'rm -rf "$tree"' EXIT
[ ! -e /usr/bin/murmurly ] || fail "/usr/bin/murmurly is still there after removal"
echo "check-package: installed, started, stopped and removed $deb"
