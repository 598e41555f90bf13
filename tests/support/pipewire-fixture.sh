#!/usr/bin/env bash
# A private PipeWire (pipewire + wireplumber + pipewire-pulse) for the tests that need a real sound
# server; the same commands and the same two sinks as pulse-fixture.sh:
#
#   pipewire-fixture.sh start DIR    start the three daemons, pulse socket DIR/native (stops earlier ones)
#   pipewire-fixture.sh stop DIR     stop them (SIGTERM, then SIGKILL) and remove the socket
#   pipewire-fixture.sh kill DIR     kill all three at once with SIGKILL, as a crash would
#   pipewire-fixture.sh freeze DIR   suspend pipewire-pulse: it accepts connections but never answers
#   pipewire-fixture.sh thaw DIR     let it go on
#
# Null sinks "speakers" (default sink) and "mic_in" (its monitor "mic_in.monitor" is the default
# source). pipewire-pulse loads them itself at every start (they belong to it and vanish with it).
#
# No systemd, no D-Bus, no desktop session: WirePlumber runs without its bluetooth part and without
# the ALSA, V4L2 and libcamera monitors (they want the session bus and would reach for the
# machine's real devices). Every runtime, state and config folder points into DIR, and `start`
# begins from empty ones: WirePlumber keeps chosen defaults and per-application stream targets in
# its state folder, which would otherwise leak from one test into the next.
set -euo pipefail

usage() {
    echo "usage: $0 {start|stop|kill|freeze|thaw} DIR" >&2
    exit 2
}

[ $# -eq 2 ] || usage
command=$1
dir=$2
socket="$dir/native"
daemons=(pipewire wireplumber pipewire-pulse)

# A killed daemon stays a zombie until init reaps it, which can take a second or more; for us it
# is gone.
alive() {
    local state
    state=$(sed -E 's/.*\) ([A-Za-z]).*/\1/' "/proc/$1/stat" 2>/dev/null) && [ "$state" != Z ]
}

daemon_pid() {
    local pidfile="$dir/$1.pid" pid
    [ -f "$pidfile" ] || return 1
    pid=$(tr -dc '0-9' <"$pidfile")
    [ -n "$pid" ] && alive "$pid" || return 1
    echo "$pid"
}

any_alive() {
    local pid
    for pid in "$@"; do
        alive "$pid" && return 0
    done
    return 1
}

pactl_private() {
    PULSE_SERVER="unix:$socket" HOME="$dir/home" timeout 5 pactl "$@"
}

# Signals every running daemon, then waits up to five seconds for all of them to go away.
stop_daemons() {
    local signal=$1 pids=() pid name
    for name in "${daemons[@]}"; do
        pid=$(daemon_pid "$name") && pids+=("$pid")
    done
    [ ${#pids[@]} -gt 0 ] || return 0
    kill -CONT "${pids[@]}" 2>/dev/null || true
    kill "-$signal" "${pids[@]}" 2>/dev/null || true
    for _ in $(seq 1 250); do
        any_alive "${pids[@]}" || return 0
        sleep 0.02
    done
    kill -KILL "${pids[@]}" 2>/dev/null || true
    sleep 0.2
    if any_alive "${pids[@]}"; then
        echo "pipewire-fixture: a daemon does not go away" >&2
        return 1
    fi
}

write_config() {
    local config="$dir/config"
    mkdir -p "$config/wireplumber/main.lua.d"
    # The core daemon: the stock modules minus realtime scheduling, the portal and the X11 bell.
    cat >"$config/pipewire.conf" <<'EOF'
context.properties = { core.daemon = true core.name = pipewire-0 link.max-buffers = 16 }
context.spa-libs = { audio.convert.* = audioconvert/libspa-audioconvert support.* = support/libspa-support }
context.modules = [
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-spa-device-factory }
    { name = libpipewire-module-spa-node-factory }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-client-device }
    { name = libpipewire-module-access }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-link-factory }
    { name = libpipewire-module-session-manager }
]
context.objects = [
    { factory = spa-node-factory
      args = { factory.name = support.node.driver node.name = Dummy-Driver node.group = pipewire.dummy priority.driver = 20000 } }
    { factory = spa-node-factory
      args = { factory.name = support.node.driver node.name = Freewheel-Driver priority.driver = 19000
               node.group = pipewire.freewheel node.freewheel = true } }
]
EOF
    # The pulse server on our socket, with our two sinks instead of the stock fallback sink.
    cat >"$config/pipewire-pulse.conf" <<EOF
context.spa-libs = { audio.convert.* = audioconvert/libspa-audioconvert support.* = support/libspa-support }
context.modules = [
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-protocol-pulse args = { server.address = [ "unix:$socket" ] } }
]
pulse.cmd = [
    { cmd = "load-module" args = "module-null-sink sink_name=speakers" }
    { cmd = "load-module" args = "module-null-sink sink_name=mic_in" }
]
EOF
    # WirePlumber: the stock session policy, no bluetooth, no device monitors.
    cat >"$config/wireplumber/wireplumber.conf" <<'EOF'
context.properties = { log.level = 2 wireplumber.script-engine = lua-scripting }
context.spa-libs = { audio.convert.* = audioconvert/libspa-audioconvert support.* = support/libspa-support }
context.modules = [
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-client-device }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-session-manager }
]
wireplumber.components = [
    { name = libwireplumber-module-lua-scripting, type = module }
    { name = main.lua, type = config/lua }
    { name = policy.lua, type = config/lua }
]
EOF
    # Replaces the stock file of the same name, which also enables the ALSA/V4L2/libcamera monitors;
    # the flatpak portal's permission store is another user of the session bus.
    cat >"$config/wireplumber/main.lua.d/90-enable-all.lua" <<'EOF'
load_module("metadata")
default_access.properties["enable-flatpak-portal"] = false
default_access.enable()
device_defaults.enable()
stream_defaults.enable()
load_script("intended-roles.lua")
load_script("suspend-node.lua")
EOF
}

# Runs one daemon detached from the caller (ctest waits for our output to close, not for them).
launch() {
    local name=$1
    shift
    (
        unset PULSE_SERVER PULSE_SINK PULSE_SOURCE DBUS_SESSION_BUS_ADDRESS DISPLAY PIPEWIRE_REMOTE
        export HOME="$dir/home" XDG_RUNTIME_DIR="$dir/runtime" PIPEWIRE_RUNTIME_DIR="$dir/runtime"
        export XDG_CONFIG_HOME="$dir/config" XDG_STATE_HOME="$dir/state" XDG_DATA_HOME="$dir/home/data"
        export PULSE_RUNTIME_PATH="$dir/runtime/pulse" DISABLE_RTKIT=1 PIPEWIRE_LOG_SYSTEMD=false
        exec setsid "$@"
    ) </dev/null >>"$dir/$name.log" 2>&1 &
    echo $! >"$dir/$name.pid"
    disown
}

fail_start() {
    echo "pipewire-fixture: $1; the daemons' logs:" >&2
    for name in "${daemons[@]}"; do
        echo "--- $name" >&2
        tail -n 15 "$dir/$name.log" >&2 || true
    done
    stop_daemons KILL || true
    return 1
}

# Runs the command until it succeeds, for up to ten seconds.
wait_until() {
    local deadline=$((SECONDS + 10))
    while [ $SECONDS -lt $deadline ]; do
        "$@" && return 0
        sleep 0.02
    done
    return 1
}

# Sets the defaults until they hold: until WirePlumber offers its settings store the server refuses.
apply_defaults() {
    pactl_private set-default-sink speakers 2>/dev/null &&
        pactl_private set-default-source mic_in.monitor 2>/dev/null &&
        [ "$(pactl_private get-default-sink 2>/dev/null)" = speakers ] &&
        [ "$(pactl_private get-default-source 2>/dev/null)" = mic_in.monitor ]
}

sinks_loaded() {
    local sinks
    sinks=$(pactl_private list short sinks 2>/dev/null) || return 1
    grep -q $'\tspeakers\t' <<<"$sinks" && grep -q $'\tmic_in\t' <<<"$sinks"
}

start_daemons() {
    # Everything of the old run is thrown away, so there is nothing to wait for a clean exit for.
    stop_daemons KILL
    rm -rf "$dir/runtime" "$dir/state" "$dir/config" "$dir/home" "$socket"
    mkdir -p "$dir/runtime" "$dir/state" "$dir/home"
    chmod 700 "$dir/runtime"
    write_config
    launch pipewire pipewire -c "$dir/config/pipewire.conf"
    wait_until test -S "$dir/runtime/pipewire-0" || fail_start "pipewire does not listen" || return 1
    launch wireplumber wireplumber
    launch pipewire-pulse pipewire -c "$dir/config/pipewire-pulse.conf"
    wait_until sinks_loaded || fail_start "pipewire-pulse shows no sinks on $socket" || return 1
    # The defaults take effect once WirePlumber has applied them: proof that it runs and links.
    wait_until apply_defaults || fail_start "the default devices are not applied" || return 1
    for name in "${daemons[@]}"; do
        daemon_pid "$name" >/dev/null || fail_start "$name exited" || return 1
    done
    echo "PULSE_SERVER=unix:$socket"
}

case "$command" in
start) start_daemons ;;
stop)
    stop_daemons TERM
    rm -f "$socket"
    ;;
kill) stop_daemons KILL ;;
freeze) kill -STOP "$(daemon_pid pipewire-pulse)" ;;
thaw) kill -CONT "$(daemon_pid pipewire-pulse)" ;;
*) usage ;;
esac
