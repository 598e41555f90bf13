#!/usr/bin/env bash
# A private PulseAudio daemon for the tests that need a real sound server.
#
#   pulse-fixture.sh start DIR    start a daemon whose socket is DIR/native (stops an earlier one)
#   pulse-fixture.sh stop DIR     stop it (SIGTERM, then SIGKILL) and remove the socket
#   pulse-fixture.sh kill DIR     kill it at once with SIGKILL, as a crash would; files stay behind
#   pulse-fixture.sh freeze DIR   suspend it (SIGSTOP): it accepts connections but never answers
#   pulse-fixture.sh thaw DIR     let a frozen daemon go on (SIGCONT)
#
# The daemon has two null sinks: "speakers" (the default sink; what is played into it is "system
# audio") and "mic_in" (its monitor "mic_in.monitor" is the default source, "the microphone").
# Idle sinks are suspended after a few seconds, as on a desktop (module-suspend-on-idle).
# Clients reach it with PULSE_SERVER=unix:DIR/native; anonymous access, so no cookie is needed.
#
# Everything the daemon writes stays in DIR: HOME, XDG_RUNTIME_DIR and the config folder point
# there, so it never touches the user's own daemon or files. It works as root (the daemon only
# warns that it is not meant to run as root without --system; --system would want a pulse user and
# a system-wide socket, which we do not want). stdio goes to DIR/daemon.log so that a caller that
# waits for our output (ctest) is not held open by the daemonized process.
set -euo pipefail

usage() {
    echo "usage: $0 {start|stop|kill|freeze|thaw} DIR" >&2
    exit 2
}

[ $# -eq 2 ] || usage
command=$1
dir=$2
runtime="$dir/runtime"
pidfile="$runtime/pulse/pid"
socket="$dir/native"

# A killed daemon stays a zombie until init reaps it, which can take a second or more; for us it
# is gone.
alive() {
    local state
    state=$(sed -E 's/.*\) ([A-Za-z]).*/\1/' "/proc/$1/stat" 2>/dev/null) && [ "$state" != Z ]
}

daemon_pid() {
    [ -f "$pidfile" ] || return 1
    local pid
    pid=$(tr -dc '0-9' <"$pidfile")
    [ -n "$pid" ] && alive "$pid" || return 1
    echo "$pid"
}

pactl_private() {
    PULSE_SERVER="unix:$socket" HOME="$dir/home" pactl "$@"
}

stop_daemon() {
    local signal=$1 pid
    pid=$(daemon_pid) || return 0
    kill -CONT "$pid" 2>/dev/null || true
    kill "-$signal" "$pid" 2>/dev/null || true
    for _ in $(seq 1 250); do
        alive "$pid" || return 0
        sleep 0.02
    done
    kill -KILL "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do
        alive "$pid" || return 0
        sleep 0.02
    done
    echo "pulse-fixture: daemon $pid does not go away" >&2
    return 1
}

start_daemon() {
    stop_daemon TERM
    mkdir -p "$dir/home/.config" "$runtime"
    chmod 700 "$runtime"
    # A daemon that is gone but not yet reaped would still count as running for the new one.
    rm -f "$socket" "$pidfile"
    (
        unset PULSE_SERVER PULSE_SINK PULSE_SOURCE DBUS_SESSION_BUS_ADDRESS DISPLAY
        export HOME="$dir/home" XDG_RUNTIME_DIR="$runtime" XDG_CONFIG_HOME="$dir/home/.config"
        export PULSE_RUNTIME_PATH="$runtime/pulse" PULSE_STATE_PATH="$dir/home/state"
        exec pulseaudio --daemonize=yes --exit-idle-time=-1 -n --use-pid-file=yes \
            --log-target=stderr --log-level=notice \
            --load="module-native-protocol-unix socket=$socket auth-anonymous=1" \
            --load="module-null-sink sink_name=speakers" \
            --load="module-null-sink sink_name=mic_in" \
            --load="module-suspend-on-idle"
    ) </dev/null >>"$dir/daemon.log" 2>&1 || {
        echo "pulse-fixture: pulseaudio did not start; its log:" >&2
        tail -n 20 "$dir/daemon.log" >&2
        return 1
    }
    for _ in $(seq 1 100); do
        if pactl_private info >/dev/null 2>&1; then
            pactl_private set-default-sink speakers
            pactl_private set-default-source mic_in.monitor
            echo "PULSE_SERVER=unix:$socket"
            return 0
        fi
        sleep 0.1
    done
    echo "pulse-fixture: the daemon does not answer on $socket; its log:" >&2
    tail -n 20 "$dir/daemon.log" >&2
    return 1
}

case "$command" in
start) start_daemon ;;
stop)
    stop_daemon TERM
    rm -f "$socket"
    ;;
kill) stop_daemon KILL ;;
freeze) kill -STOP "$(daemon_pid)" ;;
thaw) kill -CONT "$(daemon_pid)" ;;
*) usage ;;
esac
