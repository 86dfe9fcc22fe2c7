#!/usr/bin/env bash
# Records real SMB traffic between smbd and smbclient for the engine's replay
# tests.  Each capture gets a fresh set of network namespaces and a fresh smbd,
# so from one run to the next only timestamps, TCP sequence numbers, GUIDs,
# session/tree/file ids and the NTLM challenge/response bytes change.
#
# Topology (all inside namespaces created here, nothing else is contacted):
#
#   mf-cli  eth0 192.0.2.10 02:00:00:00:00:10 --veth-- c1 \
#                                                          br0 192.0.2.1 02:00:00:00:01:01  (mf-srv)
#   mf-cli2 eth0 192.0.2.11 02:00:00:00:00:11 --veth-- c2 /
#
# The server's address lives on a bridge inside mf-srv so that two client hosts
# can reach it; tcpdump records on that bridge.
#
# Usage: sudo tests/data/make-captures.sh            (writes tests/data/*.pcap)
#        CAPTURE_OUT=/tmp/x tests/data/make-captures.sh (writes elsewhere)
#        KEEP_WORK=1 ...   keeps the temp dir (smbd logs, client output)
set -euo pipefail

DATA_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../../scripts/samba-conf.sh
. "$DATA_DIR/../../scripts/samba-conf.sh"
OUT_DIR=${CAPTURE_OUT:-$DATA_DIR}

SRV_NS=mf-srv
CLI_NS=mf-cli
CLI2_NS=mf-cli2
SRV_IP=192.0.2.1
SRV_MAC=02:00:00:00:01:01
CLI_IP=192.0.2.10
CLI_MAC=02:00:00:00:00:10
CLI2_IP=192.0.2.11
CLI2_MAC=02:00:00:00:00:11
# Fixed client source port: with one port in the ephemeral range every capture
# uses the same 4-tuple.  Each capture runs in fresh namespaces, so there is no
# TIME_WAIT left over from a previous connection.
CLI_PORT=49152

ALICE_PASS='Alice-Pw-1'
BOB_PASS='Bob-Pw-2'
ALICE_UID=20001
BOB_UID=20002

NSS_WRAPPER_LIB=$(find /usr/lib -name libnss_wrapper.so -print -quit 2>/dev/null || true)

WORK=""
SMBD_PID=""
TCPDUMP_PID=""

log() { echo "make-captures: $*" >&2; }
die() { log "error: $*"; exit 1; }

# ---------------------------------------------------------------- cleanup ----

kill_pid() {
    local pid=$1
    [[ -n $pid ]] || return 0
    kill -0 "$pid" 2>/dev/null || return 0
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
}

# Ends every process still running inside one of our namespaces (smbd's
# children, an on-demand RPC helper, a stray tcpdump) and deletes it.
delete_ns() {
    local ns=$1 pid
    ip netns list | grep -qw "^$ns" || return 0
    for pid in $(ip netns pids "$ns" 2>/dev/null); do
        kill_pid "$pid"
    done
    ip netns del "$ns" 2>/dev/null || true
}

teardown() {
    kill_pid "$TCPDUMP_PID"; TCPDUMP_PID=""
    kill_pid "$SMBD_PID"; SMBD_PID=""
    delete_ns "$CLI_NS"
    delete_ns "$CLI2_NS"
    delete_ns "$SRV_NS"
}

cleanup() {
    local rc=$?
    teardown
    if [[ -n $WORK && -d $WORK ]]; then
        if [[ -n ${KEEP_WORK:-} ]]; then
            log "kept work directory $WORK"
        else
            rm -rf "$WORK"
        fi
    fi
    exit "$rc"
}

# -------------------------------------------------------------- preflight ----

check_prerequisites() {
    [[ $(id -u) -eq 0 ]] || die "must run as root (network namespaces)"
    local tool missing=()
    for tool in ip ss ethtool sysctl tcpdump smbd smbclient pdbedit unshare setsid \
        hostname python3; do
        command -v "$tool" >/dev/null || missing+=("$tool")
    done
    [[ -n $NSS_WRAPPER_LIB ]] || missing+=(libnss_wrapper.so)
    if ((${#missing[@]})); then
        die "missing: ${missing[*]}; install the packages in $DATA_DIR/packages.txt"
    fi
    local ns
    for ns in "$SRV_NS" "$CLI_NS" "$CLI2_NS"; do
        ! ip netns list | grep -qw "^$ns" || die "namespace $ns already exists"
    done
}

# ---------------------------------------------------------------- network ----

# Per-namespace kernel settings that make the captures small and repeatable:
# no IPv6 chatter, no TCP timestamps option, one fixed ephemeral port.
tune_ns() {
    local ns=$1
    ip -n "$ns" link set lo up
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.default.disable_ipv6=1
    ip netns exec "$ns" sysctl -qw net.ipv4.tcp_timestamps=0
    ip netns exec "$ns" sysctl -qw net.ipv4.ip_local_port_range="$CLI_PORT $CLI_PORT"
}

# Checksum and segmentation offloads off: the kernel then fills in real
# checksums before tcpdump sees a frame, and no frame exceeds the MTU.
no_offload() {
    local ns=$1 dev=$2
    ip netns exec "$ns" ethtool -K "$dev" tx off rx off tso off gso off gro off \
        >/dev/null 2>&1 ||
        ip netns exec "$ns" ethtool -K "$dev" tx off >/dev/null
}

# Adds client host $1 (namespace) with address $2 and MAC $3, attached to the
# server's bridge through bridge port $4.
add_client() {
    local ns=$1 ip=$2 mac=$3 port=$4
    ip netns add "$ns"
    tune_ns "$ns"
    ip -n "$SRV_NS" link add "$port" type veth peer name eth0 netns "$ns"
    ip -n "$ns" link set eth0 address "$mac"
    ip -n "$ns" addr add "$ip/24" dev eth0
    ip -n "$SRV_NS" link set "$port" master br0
    no_offload "$SRV_NS" "$port"
    no_offload "$ns" eth0
    ip -n "$SRV_NS" link set "$port" up
    ip -n "$ns" link set eth0 up
}

wait_link_up() {
    local ns=$1 dev=$2
    for _ in $(seq 50); do
        ip -n "$ns" link show "$dev" | grep -q 'state UP' && return 0
        sleep 0.1
    done
    die "link $dev in $ns did not come up"
}

setup_network() {
    ip netns add "$SRV_NS"
    tune_ns "$SRV_NS"
    ip -n "$SRV_NS" link add br0 type bridge stp_state 0 forward_delay 0
    ip -n "$SRV_NS" link set br0 address "$SRV_MAC"
    ip -n "$SRV_NS" addr add "$SRV_IP/24" dev br0
    no_offload "$SRV_NS" br0
    ip -n "$SRV_NS" link set br0 up
    add_client "$CLI_NS" "$CLI_IP" "$CLI_MAC" c1
    add_client "$CLI2_NS" "$CLI2_IP" "$CLI2_MAC" c2
    wait_link_up "$CLI_NS" eth0
    wait_link_up "$CLI2_NS" eth0
}

# ------------------------------------------------------------------ samba ----

# smbd needs Unix accounts for alice and bob.  nss_wrapper supplies them from
# files under $WORK so the host's /etc/passwd is never touched.
write_accounts() {
    cat >"$WORK/passwd" <<EOF
root:x:0:0:root:/root:/bin/sh
alice:x:$ALICE_UID:$ALICE_UID:alice:/nonexistent:/bin/false
bob:x:$BOB_UID:$BOB_UID:bob:/nonexistent:/bin/false
nobody:x:65534:65534:nobody:/nonexistent:/bin/false
EOF
    cat >"$WORK/group" <<EOF
root:x:0:
alice:x:$ALICE_UID:
bob:x:$BOB_UID:
nogroup:x:65534:
EOF
}

with_accounts() {
    env LD_PRELOAD="$NSS_WRAPPER_LIB" \
        NSS_WRAPPER_PASSWD="$WORK/passwd" NSS_WRAPPER_GROUP="$WORK/group" "$@"
}

# All state under $WORK/srv.
write_server_conf() {
    local d=$WORK/srv
    mkdir -p "$d"/{private,state,lock,cache,pid,log,ncalrpc,binddns,usershares}
    samba_server_conf "$d" "$WORK/share" "$SRV_IP" >"$d/smb.conf"
}

write_client_conf() {
    mkdir -p "$WORK/cli"
    samba_client_conf "$WORK/cli" >"$WORK/cli/smb.conf"
}

add_smb_user() {
    local user=$1 pass=$2
    printf '%s\n%s\n' "$pass" "$pass" |
        with_accounts pdbedit -s "$WORK/srv/smb.conf" -a -u "$user" -t \
            >"$WORK/srv/log/pdbedit.out" 2>&1 ||
        { cat "$WORK/srv/log/pdbedit.out" >&2; die "pdbedit could not add $user"; }
}

setup_samba() {
    write_accounts
    write_server_conf
    write_client_conf
    add_smb_user alice "$ALICE_PASS"
    add_smb_user bob "$BOB_PASS"
}

# smbd gets a session of its own: on shutdown it signals its whole process
# group, which must not include this script.  It also gets its own UTS
# namespace with host name "filesrv": the NTLM CHALLENGE carries the server's
# DNS host name, which must not depend on the machine recording.
start_smbd() {
    setsid ip netns exec "$SRV_NS" unshare --uts sh -c 'hostname filesrv && exec "$@"' sh \
        env LD_PRELOAD="$NSS_WRAPPER_LIB" \
        NSS_WRAPPER_PASSWD="$WORK/passwd" NSS_WRAPPER_GROUP="$WORK/group" \
        smbd --foreground --no-process-group -s "$WORK/srv/smb.conf" \
        </dev/null >"$WORK/srv/log/smbd.stdout" 2>&1 &
    SMBD_PID=$!
    for _ in $(seq 100); do
        if ip netns exec "$SRV_NS" ss -Hltn "sport = :445" | grep -q LISTEN; then
            return 0
        fi
        kill -0 "$SMBD_PID" 2>/dev/null || break
        sleep 0.1
    done
    cat "$WORK/srv/log/smbd.stdout" "$WORK/srv/log/smbd.log" >&2 2>/dev/null || true
    die "smbd did not start listening on $SRV_IP:445"
}

# --------------------------------------------------------------- contents ----

# Resets both shares to the state every capture starts from.  Contents are a
# few bytes each and have fixed timestamps so directory listings repeat.
prepare_shares() {
    local docs=$WORK/share/docs public=$WORK/share/public
    rm -rf "$WORK/share"
    mkdir -p "$docs" "$public"
    printf 'readme\n' >"$docs/readme.txt"
    printf 'old\n' >"$docs/old.txt"
    printf 'draft\n' >"$docs/draft.txt"
    printf 'report v1\n' >"$docs/report.docx"
    printf 'notice\n' >"$public/notice.txt"
    find "$WORK/share" -type f -exec chmod 0666 {} + -exec touch -d '2024-01-02 03:04:05 UTC' {} +
    find "$WORK/share" -type d -exec chmod 0777 {} +
    # smbd runs file operations as alice/bob, who must reach the share dirs.
    chmod 0755 "$WORK" "$WORK/share"

    # Local files the client uploads.
    local up=$WORK/upload
    rm -rf "$up"
    mkdir -p "$up"
    printf 'new\n' >"$up/new.txt"
    printf 'report v2\n' >"$up/report.docx"
    printf 'bob\n' >"$up/bob.txt"
}

# ---------------------------------------------------------------- capture ----

start_tcpdump() {
    local pcap=$1
    ip netns exec "$SRV_NS" tcpdump -i br0 -s 0 -U --immediate-mode -y EN10MB \
        -w "$pcap" 'tcp port 445' 2>"$WORK/tcpdump.err" &
    TCPDUMP_PID=$!
    for _ in $(seq 100); do
        grep -q 'listening on' "$WORK/tcpdump.err" 2>/dev/null && return 0
        kill -0 "$TCPDUMP_PID" 2>/dev/null || break
        sleep 0.1
    done
    cat "$WORK/tcpdump.err" >&2
    die "tcpdump did not start"
}

# SIGINT makes tcpdump flush and close the file; wait so it is complete.
stop_tcpdump() {
    sleep 0.5 # let the last FIN/ACK reach the bridge
    kill -INT "$TCPDUMP_PID"
    wait "$TCPDUMP_PID" || true
    TCPDUMP_PID=""
}

# Runs one smbclient session and fails if it reports any NT_STATUS error.
# Args: namespace user password protocol share commands
run_client() {
    local ns=$1 user=$2 pass=$3 proto=$4 share=$5 cmds=$6
    local out=$WORK/client.out rc=0
    (cd "$WORK/upload" &&
        ip netns exec "$ns" smbclient -s "$WORK/cli/smb.conf" \
            "//$SRV_IP/$share" -U "$user%$pass" -m "$proto" \
            --use-kerberos=off -c "$cmds") >"$out" 2>&1 || rc=$?
    sed 's/^/    smbclient: /' "$out" >&2
    if ((rc != 0)) || grep -q 'NT_STATUS_' "$out"; then
        die "smbclient failed (rc=$rc) for $user on $share: $cmds"
    fi
}

# Brings up fresh namespaces and smbd, runs the given function while tcpdump
# records, then tears everything down.  Args: pcap-name function
capture() {
    local name=$1 body=$2
    log "recording $name"
    prepare_shares
    setup_network
    start_smbd
    start_tcpdump "$WORK/$name"
    "$body"
    stop_tcpdump
    teardown
    install -m 0644 "$WORK/$name" "$OUT_DIR/$name"
}

# ---------------------------------------------------------------- sessions ---

session_ntlm() {
    run_client "$CLI_NS" alice "$ALICE_PASS" SMB3 docs \
        "ls; get readme.txt; quit"
}

# File operations in the order the tests expect them.  The last three steps
# are what an Office save looks like: the old document is renamed to a temp
# name, the new one written, the temp file deleted.
OPS_COMMANDS='ls; get readme.txt; put new.txt; mkdir folder1; rm old.txt;'
OPS_COMMANDS+=' rename draft.txt final.txt; rename report.docx ~wrl0001.tmp;'
OPS_COMMANDS+=' put report.docx; rm ~wrl0001.tmp; quit'

session_ops_smb3() { run_client "$CLI_NS" alice "$ALICE_PASS" SMB3 docs "$OPS_COMMANDS"; }
session_ops_smb2() { run_client "$CLI_NS" alice "$ALICE_PASS" SMB2_10 docs "$OPS_COMMANDS"; }
session_ops_nt1() { run_client "$CLI_NS" alice "$ALICE_PASS" NT1 docs "$OPS_COMMANDS"; }

# bob from the second host: one connection, the docs tree first, then a second
# tree connect to public on the same session.
session_second_user() {
    run_client "$CLI2_NS" bob "$BOB_PASS" SMB2_10 docs \
        "ls; put bob.txt; tcon public; ls; quit"
}

# ----------------------------------------------------------------- verify ----

# Checks a capture with our own pcap reader: the negotiated dialect, the NTLM
# names and the presence of each expected operation.
verify() {
    local name=$1
    shift
    python3 "$DATA_DIR/list-smb.py" --check "$@" "$OUT_DIR/$name" ||
        die "$name does not contain what was expected"
    log "verified $name ($(stat -c %s "$OUT_DIR/$name") bytes)"
}

verify_all() {
    local ops=(--expect 'READ readme.txt' --expect 'WRITE new.txt'
        --expect 'MKDIR folder1' --expect 'DELETE old.txt'
        --expect 'RENAME draft.txt -> final.txt'
        --expect 'RENAME report.docx -> ~wrl0001.tmp'
        --expect 'WRITE report.docx' --expect 'DELETE ~wrl0001.tmp')
    verify ntlm-smb3.pcap --dialect SMB3_11 --user TESTDOM/alice@WKS7 \
        --expect 'READ readme.txt'
    verify ops-smb3.pcap --dialect SMB3_11 --user TESTDOM/alice@WKS7 "${ops[@]}"
    verify ops-smb2.pcap --dialect SMB2_10 --user TESTDOM/alice@WKS7 "${ops[@]}"
    verify ops-nt1.pcap --dialect NT1 --user TESTDOM/alice@WKS7 "${ops[@]}"
    verify second-user-smb2.pcap --dialect SMB2_10 --user TESTDOM/bob@WKS7 \
        --expect 'TREE docs' --expect 'TREE public' --expect 'WRITE bob.txt'
}

main() {
    check_prerequisites
    WORK=$(mktemp -d /tmp/mf-captures.XXXXXX)
    trap cleanup EXIT
    trap 'exit 130' INT TERM
    mkdir -p "$OUT_DIR"
    setup_samba
    capture ntlm-smb3.pcap session_ntlm
    capture ops-smb3.pcap session_ops_smb3
    capture ops-smb2.pcap session_ops_smb2
    capture ops-nt1.pcap session_ops_nt1
    capture second-user-smb2.pcap session_second_user
    verify_all
    log "done: captures in $OUT_DIR"
}

main "$@"
