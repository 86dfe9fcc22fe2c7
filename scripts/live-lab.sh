#!/usr/bin/env bash
# The live lab: a client, the guard and a Samba server in network namespaces of their own,
# joined by two veth pairs. Only the lab's own addresses in 192.0.2.0/24 are used.
#
#   <lab>-cli  eth0 192.0.2.10 --veth-- net0  <lab>-grd  srv0 --veth-- eth0 192.0.2.1  <lab>-srv
#              2001:db8::10                                          2001:db8::20
#              smbclient, smbtorture      merrowfaldine-guard           smbd (docs, public)
# The client and the server also have IPv6 addresses (documentation prefix, no duplicate
# address detection, so they are usable at once); the guard's namespace has no IPv6.
#
# Usage: scripts/live-lab.sh COMMAND
#   up [--policy FILE] [--no-guard]  build the lab; the guard runs unless --no-guard
#   down                             remove everything the lab made (also after a crash)
#   status                           what is running
#   guard-start [--policy FILE] [--state FILE|none]
#                                    start the guard (report-only policy by default; the
#                                    sessions it knows kept in the lab's guard.state)
#   guard-stop                       stop it (SIGTERM, then SIGKILL), leaving the wire cut
#   bridge-on | bridge-off           join net0 and srv0 with a plain kernel bridge instead
#   client CMD...                    run a command in the client namespace
#   server CMD...                    run a command in the server namespace
#   env                              print the lab's paths and addresses as shell variables
# Environment: MF_LAB (name prefix, default mflab), MF_BUILD (build folder, default build),
# MF_GUARD_ARGS (more options for the guard that guard-start starts, split at spaces).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=samba-conf.sh
. "$ROOT/scripts/samba-conf.sh"
LAB=${MF_LAB:-mflab}
BUILD=${MF_BUILD:-$ROOT/build}
[[ $BUILD = /* ]] || BUILD=$ROOT/$BUILD
DIR=/run/$LAB
CLI_NS=$LAB-cli
GRD_NS=$LAB-grd
SRV_NS=$LAB-srv
CLI_IP=192.0.2.10
CLI_MAC=02:00:00:00:00:10
SRV_IP=192.0.2.1
SRV_MAC=02:00:00:00:01:01
CLI_IP6=2001:db8::10
SRV_IP6=2001:db8::20
ALICE_PASS=Alice-Pw-1
BOB_PASS=Bob-Pw-2
# A user whose name is not ASCII: clients may log on as jörg, Jörg or JÖRG.
JOERG=jörg
JOERG_PASS=Joerg-Pw-3
GUARD=$BUILD/bridge/merrowfaldine-guard
CTL=$BUILD/bridge/merrowfaldine-ctl
NSS_WRAPPER_LIB=$(find /usr/lib -name libnss_wrapper.so -print -quit 2>/dev/null || true)

log() { echo "live-lab: $*" >&2; }
die() {
    log "error: $*"
    exit 1
}

ns_exists() { ip netns list 2>/dev/null | grep -qw "^$1"; }

# Bounded wait: runs "$@" up to 100 times, 0.1 s apart.
wait_for() {
    for _ in $(seq 100); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}

stop_pid() {
    local pid=$1
    [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null || return 0
    kill -TERM "$pid" 2>/dev/null || true
    wait_for bash -c "! kill -0 $pid" || kill -KILL "$pid" 2>/dev/null || true
}

delete_ns() {
    local ns=$1 pid
    ns_exists "$ns" || return 0
    for pid in $(ip netns pids "$ns" 2>/dev/null); do
        stop_pid "$pid"
    done
    ip netns del "$ns" 2>/dev/null || true
}

# ------------------------------------------------------------------ network ----

tune_ns() {
    local ns=$1
    ip netns add "$ns"
    ip -n "$ns" link set lo up
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.default.disable_ipv6=1
}

# The hosts send wire-sized frames (no segmentation offload) but leave their checksums
# to the "hardware", as real machines do: the guard passes that request on with the frame.
host_offloads() {
    ip netns exec "$1" ethtool -K "$2" tso off gso off gro off >/dev/null 2>&1 || true
}

setup_network() {
    tune_ns "$CLI_NS"
    tune_ns "$GRD_NS"
    tune_ns "$SRV_NS"
    ip -n "$GRD_NS" link add net0 type veth peer name eth0 netns "$CLI_NS"
    ip -n "$GRD_NS" link add srv0 type veth peer name eth0 netns "$SRV_NS"
    ip -n "$CLI_NS" link set eth0 address "$CLI_MAC"
    ip -n "$SRV_NS" link set eth0 address "$SRV_MAC"
    ip -n "$CLI_NS" addr add "$CLI_IP/24" dev eth0
    ip -n "$SRV_NS" addr add "$SRV_IP/24" dev eth0
    host_offloads "$CLI_NS" eth0
    host_offloads "$SRV_NS" eth0
    local ns
    for ns in "$CLI_NS" "$SRV_NS"; do
        ip netns exec "$ns" sysctl -qw net.ipv6.conf.eth0.disable_ipv6=0
        ip netns exec "$ns" sysctl -qw net.ipv6.conf.eth0.accept_dad=0
        ip netns exec "$ns" sysctl -qw net.ipv6.conf.eth0.accept_ra=0
        ip netns exec "$ns" sysctl -qw net.ipv6.conf.eth0.router_solicitations=0
    done
    ip -n "$CLI_NS" addr add "$CLI_IP6/64" dev eth0 nodad
    ip -n "$SRV_NS" addr add "$SRV_IP6/64" dev eth0 nodad
    # The guard turns the offloads of its own interfaces off itself.
    ip -n "$GRD_NS" link set net0 up
    ip -n "$GRD_NS" link set srv0 up
    ip -n "$CLI_NS" link set eth0 up
    ip -n "$SRV_NS" link set eth0 up
}

# ------------------------------------------------------------------- samba ----

write_samba() {
    local d=$DIR/srv
    mkdir -p "$d"/{private,state,lock,cache,pid,log,ncalrpc,binddns,usershares} "$DIR/cli"
    cat >"$DIR/passwd" <<EOT
root:x:0:0:root:/root:/bin/sh
alice:x:20001:20001:alice:/nonexistent:/bin/false
bob:x:20002:20002:bob:/nonexistent:/bin/false
$JOERG:x:20003:20003:$JOERG:/nonexistent:/bin/false
nobody:x:65534:65534:nobody:/nonexistent:/bin/false
EOT
    cat >"$DIR/group" <<EOT
root:x:0:
alice:x:20001:
bob:x:20002:
$JOERG:x:20003:
nogroup:x:65534:
EOT
    samba_server_conf "$d" "$DIR/share" "$SRV_IP" "$SRV_IP6" >"$d/smb.conf"
    samba_client_conf "$DIR/cli" >"$DIR/cli/smb.conf"
    local user pass
    for user in alice bob "$JOERG"; do
        pass=$ALICE_PASS
        [[ $user = bob ]] && pass=$BOB_PASS
        [[ $user = "$JOERG" ]] && pass=$JOERG_PASS
        printf '%s\n%s\n' "$pass" "$pass" |
            env LD_PRELOAD="$NSS_WRAPPER_LIB" NSS_WRAPPER_PASSWD="$DIR/passwd" \
                NSS_WRAPPER_GROUP="$DIR/group" pdbedit -s "$d/smb.conf" -a -u "$user" -t \
                >"$d/log/pdbedit.out" 2>&1 || die "pdbedit could not add $user"
    done
    mkdir -p "$DIR/share/docs" "$DIR/share/public"
    chmod 0755 "$DIR" "$DIR/share"
    chmod 0777 "$DIR/share/docs" "$DIR/share/public"
}

start_smbd() {
    setsid ip netns exec "$SRV_NS" env LD_PRELOAD="$NSS_WRAPPER_LIB" \
        NSS_WRAPPER_PASSWD="$DIR/passwd" NSS_WRAPPER_GROUP="$DIR/group" \
        smbd --foreground --no-process-group -s "$DIR/srv/smb.conf" \
        </dev/null >"$DIR/srv/log/smbd.stdout" 2>&1 &
    echo $! >"$DIR/smbd.pid"
    wait_for bash -c "ip netns exec $SRV_NS ss -Hltn 'sport = :445' | grep -q LISTEN" ||
        die "smbd did not start listening on $SRV_IP:445 (see $DIR/srv/log)"
}

# ------------------------------------------------------------------- guard ----

# A guard killed by a signal stays a zombie until something reaps it: that is not running.
guard_running() {
    [[ -f $DIR/guard.pid ]] || return 1
    local stat
    stat=$(cat "/proc/$(cat "$DIR/guard.pid")/stat" 2>/dev/null) || return 1
    [[ $(awk '{print $3}' <<<"$stat") != Z ]]
}

guard_start() {
    local policy=$ROOT/tests/live/policies/report.json state=$DIR/guard.state
    while (($#)); do
        case $1 in
        --policy) policy=$2 ;;
        --state) state=$2 ;;
        *) die "unknown option $1" ;;
        esac
        shift 2
    done
    [[ -x $GUARD ]] || die "$GUARD is not built (cmake --build $BUILD --target merrowfaldine-guard)"
    guard_running && die "the guard is already running"
    rm -f "$DIR/guard.sock"
    local more=()
    read -r -a more <<<"${MF_GUARD_ARGS:-}"
    setsid ip netns exec "$GRD_NS" "$GUARD" --network net0 --server srv0 --policy "$policy" \
        --control "$DIR/guard.sock" --events "$DIR/events.jsonl" --state "$state" "${more[@]}" \
        </dev/null >>"$DIR/guard.log" 2>&1 &
    echo $! >"$DIR/guard.pid"
    if ! wait_for "$CTL" --control "$DIR/guard.sock" stats; then
        tail -5 "$DIR/guard.log" >&2
        die "the guard did not come up"
    fi
}

guard_stop() {
    [[ -f $DIR/guard.pid ]] || return 0
    stop_pid "$(cat "$DIR/guard.pid")"
    rm -f "$DIR/guard.pid"
}

bridge_on() {
    ip -n "$GRD_NS" link add br0 type bridge stp_state 0 forward_delay 0
    ip -n "$GRD_NS" link set net0 master br0
    ip -n "$GRD_NS" link set srv0 master br0
    ip -n "$GRD_NS" link set br0 up
}

bridge_off() {
    ip -n "$GRD_NS" link del br0 2>/dev/null || true
}

# -------------------------------------------------------------------- main ----

cmd_up() {
    local guard=1 policy=()
    while (($#)); do
        case $1 in
        --no-guard) guard=0 ;;
        --policy)
            policy=(--policy "$2")
            shift
            ;;
        *) die "unknown option $1" ;;
        esac
        shift
    done
    [[ $(id -u) -eq 0 ]] || die "needs root (network namespaces)"
    [[ -n $NSS_WRAPPER_LIB ]] || die "libnss_wrapper.so is missing (package libnss-wrapper)"
    ns_exists "$CLI_NS" && die "the lab $LAB is already up (scripts/live-lab.sh down)"
    mkdir -p "$DIR"
    setup_network
    write_samba
    start_smbd
    if ((guard)); then
        guard_start "${policy[@]}"
    fi
    log "up: client $CLI_IP in $CLI_NS, server $SRV_IP in $SRV_NS, shares in $DIR/share"
}

cmd_down() {
    guard_stop
    [[ -f $DIR/smbd.pid ]] && stop_pid "$(cat "$DIR/smbd.pid")"
    delete_ns "$CLI_NS"
    delete_ns "$GRD_NS"
    delete_ns "$SRV_NS"
    rm -rf "$DIR"
}

cmd_status() {
    local ns
    for ns in "$CLI_NS" "$GRD_NS" "$SRV_NS"; do
        if ns_exists "$ns"; then echo "$ns: up"; else echo "$ns: absent"; fi
    done
    if guard_running; then
        echo "guard: running (pid $(cat "$DIR/guard.pid")), control $DIR/guard.sock"
        "$CTL" --control "$DIR/guard.sock" stats | sed 's/^/  /'
    else
        echo "guard: not running"
    fi
    if [[ -f $DIR/smbd.pid ]] && kill -0 "$(cat "$DIR/smbd.pid")" 2>/dev/null; then
        echo "smbd: running (pid $(cat "$DIR/smbd.pid")), shares in $DIR/share"
    else
        echo "smbd: not running"
    fi
}

cmd_env() {
    cat <<EOT
LAB_DIR=$DIR
LAB_SHARES=$DIR/share
LAB_CLIENT_NS=$CLI_NS
LAB_GUARD_NS=$GRD_NS
LAB_SERVER_NS=$SRV_NS
LAB_CLIENT_IP=$CLI_IP
LAB_CLIENT_MAC=$CLI_MAC
LAB_SERVER_IP=$SRV_IP
LAB_CLIENT_IP6=$CLI_IP6
LAB_SERVER_IP6=$SRV_IP6
LAB_SERVER_CONF=$DIR/srv/smb.conf
LAB_CLIENT_CONF=$DIR/cli/smb.conf
LAB_CONTROL=$DIR/guard.sock
LAB_EVENTS=$DIR/events.jsonl
LAB_CTL=$CTL
ALICE_PASS=$ALICE_PASS
BOB_PASS=$BOB_PASS
JOERG_PASS=$JOERG_PASS
EOT
}

case ${1:-} in
up) shift && cmd_up "$@" ;;
down) cmd_down ;;
status) cmd_status ;;
guard-start) shift && guard_start "$@" ;;
guard-stop) guard_stop ;;
bridge-on) bridge_on ;;
bridge-off) bridge_off ;;
client) shift && exec ip netns exec "$CLI_NS" "$@" ;;
server) shift && exec ip netns exec "$SRV_NS" "$@" ;;
env) cmd_env ;;
*)
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
    exit 2
    ;;
esac
