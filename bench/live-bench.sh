#!/usr/bin/env bash
# Throughput through the live guard beside the same path without it, in one run on the lab:
# the guard between client and server, then a plain kernel bridge joining the same two
# veth pairs with the same offload settings. Prints MB/s (and Gbit/s for bulk TCP) and the
# ratio guarded / direct, and the frames the guard could not pass on (none, when it kept up).
#
# Usage: bench/live-bench.sh [BUILD_DIR]
#   (root; FILE_MB, ROUNDS, IPERF_SECONDS and MTU, default 1500 on every link, tune it)
#   RUNS=N: N runs, each of them the bridge and a guard variant in turn for every variant,
#   so that the machine's other load falls on both alike; each ratio is the guard's figure
#   over the bridge's just before it, and their medians are printed at the end.
#   VARIANTS="ARGS;ARGS;...": the guard's extra options for each variant measured (an
#   empty one is the guard as it starts by default); default one variant, the default.
#   MF_LAB: the lab's name (default mfbench).
#   PLACEMENT=shared (default): the scheduler places every thread on any processor.
#   PLACEMENT=own: the hosts (their programs and receive threads) keep to the other
#   processors and the guard, or the bridge, has the last one to itself, with receive
#   threads of its own for its two interfaces, as if it were a machine of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
FILE_MB=${FILE_MB:-512}
ROUNDS=${ROUNDS:-3}
IPERF_SECONDS=${IPERF_SECONDS:-5}
MTU=${MTU:-1500}
PLACEMENT=${PLACEMENT:-shared}
cpus=$(nproc)
span() { if [ "$1" -eq "$2" ]; then echo "$1"; else echo "$1-$2"; fi; }
case $PLACEMENT in
shared) host_cpus=$(span 0 $((cpus - 1))) middle_cpus=$host_cpus ;;
own)
    if [ "$cpus" -lt 2 ]; then
        echo "live-bench: PLACEMENT=own skipped, it needs 2 processors or more"
        exit 0
    fi
    host_cpus=$(span 0 $((cpus - 2))) middle_cpus=$((cpus - 1))
    ;;
*)
    echo "live-bench: PLACEMENT is shared or own, not '$PLACEMENT'" >&2
    exit 2
    ;;
esac
[[ $build = /* ]] || build=$PWD/$build
export MF_LAB=${MF_LAB:-mfbench} MF_BUILD=$build
RUNS=${RUNS:-1}
IFS=';' read -r -a variants <<<"${VARIANTS:-}"
[ ${#variants[@]} -gt 0 ] || variants=("")
lab=$PWD/scripts/live-lab.sh

if [ "$(id -u)" -ne 0 ] || ! unshare --net true 2>/dev/null; then
    echo "live-bench: skipped, it needs root and network namespaces"
    exit 0
fi
work=$(mktemp -d /run/mf-bench.XXXXXX)
trap '$lab down; rm -rf "$work"' EXIT
$lab down
$lab up 2>/dev/null
eval "$($lab env)"
# The guard sizes its ring slots by the MTU it finds at start.
$lab guard-stop
for link in "$LAB_GUARD_NS net0" "$LAB_GUARD_NS srv0" "$LAB_CLIENT_NS eth0" "$LAB_SERVER_NS eth0"; do
    read -r ns dev <<<"$link"
    ip -n "$ns" link set "$dev" mtu "$MTU"
done
# A device's receive thread is the one that appears when its threading is switched on.
receive_threads() { { pgrep '^napi/' || true; } | sort; }
threaded() {
    local ns=$1 dev=$2 before
    before=$(receive_threads)
    ip netns exec "$ns" sh -c "echo 1 > /sys/class/net/$dev/threaded"
    comm -13 <(echo "$before") <(receive_threads)
}
# Each host takes in its frames in a kernel thread of its own (threaded NAPI, which a veth
# offers with GRO on), as a real client and server do on their own processors. Otherwise a
# veth delivers a frame in the sender's context: the guard's thread would also run the
# receiving host's TCP stack, which on a real machine runs on the other end of the cable.
# GRO changes only how a host's stack takes in frames, never what is on the wire.
host_threads=""
for host in "$LAB_CLIENT_NS" "$LAB_SERVER_NS"; do
    ip netns exec "$host" ethtool -K eth0 gro on >/dev/null
    host_threads+=" $(threaded "$host" eth0)"
done
middle_threads=""
if [ "$PLACEMENT" = own ]; then
    # A veth takes in frames in a receive thread only with GRO or an XDP program; GRO
    # would merge frames, so the guard-side ends get a program that passes every frame.
    # Their frames are then copied into the guard's ring, or bridged, on the middle's
    # processor instead of in the sender's context on the hosts' processors. The program
    # declares that it takes frames in several buffers, which a jumbo MTU needs.
    cat >"$work/pass.c" <<'PASS'
__attribute__((section("xdp.frags"), used)) int pass_all(void *frame) { return 2; /* XDP_PASS */ }
char _license[] __attribute__((section("license"), used)) = "GPL";
PASS
    clang -O2 -target bpf -c "$work/pass.c" -o "$work/pass.o"
    for dev in net0 srv0; do
        ip -n "$LAB_GUARD_NS" link set dev "$dev" xdpdrv obj "$work/pass.o" sec xdp.frags
        middle_threads+=" $(threaded "$LAB_GUARD_NS" "$dev")"
    done
fi
for thread in $host_threads; do taskset -p -c "$host_cpus" "$thread" >/dev/null; done
for thread in $middle_threads; do taskset -p -c "$middle_cpus" "$thread" >/dev/null; done
# smbd forks a process per connection, which keeps its parent's processors.
for pid in $(ip netns pids "$LAB_SERVER_NS"); do taskset -a -p -c "$host_cpus" "$pid" >/dev/null; done
on_hosts=(taskset -c "$host_cpus")
# The bridge sends through the guard-side ends' queueing discipline, which a veth leaves
# out: with none, a frame the receiving host's queue has no room for is dropped and must be
# sent again, where a switch port would hold it. The guard bypasses the discipline and
# waits for room itself.
for dev in net0 srv0; do
    ip netns exec "$LAB_GUARD_NS" tc qdisc replace dev "$dev" root pfifo limit 1000
done
head -c $((FILE_MB << 20)) /dev/urandom >"$work/big.bin"
cp "$work/big.bin" "$LAB_SHARES/docs/big.bin"
chmod 0666 "$LAB_SHARES/docs/big.bin"

now() { date +%s.%N; }

# Best of ROUNDS smbclient runs of one command, in MB/s.
smb_rate() {
    local command=$1 best=0 start end rate
    for _ in $(seq "$ROUNDS"); do
        start=$(now)
        (cd "$work" && $lab client "${on_hosts[@]}" smbclient -s "$LAB_CLIENT_CONF" "//$LAB_SERVER_IP/docs" \
            -U "alice%$ALICE_PASS" -m SMB3 --use-kerberos=off -c "$command" >/dev/null 2>&1)
        end=$(now)
        rate=$(echo "$FILE_MB $start $end" | awk '{printf "%.1f", $1 / ($3 - $2)}')
        best=$(echo "$best $rate" | awk '{print ($2 > $1) ? $2 : $1}')
    done
    echo "$best"
}

# Bulk TCP with iperf3, in Gbit/s.
tcp_rate() {
    $lab server "${on_hosts[@]}" iperf3 -s -1 -B "$LAB_SERVER_IP" >/dev/null 2>&1 &
    local server=$!
    for _ in $(seq 100); do
        $lab server ss -Hltn "sport = :5201" | grep -q LISTEN && break
        sleep 0.1
    done
    $lab client "${on_hosts[@]}" iperf3 -c "$LAB_SERVER_IP" -t "$IPERF_SECONDS" -J 2>/dev/null |
        python3 -c 'import json,sys; print("%.2f" % (json.load(sys.stdin)["end"]["sum_received"]["bits_per_second"] / 1e9))'
    wait "$server" || true
}

measure() {
    get=$(smb_rate "get big.bin /dev/null")
    put=$(smb_rate "put big.bin up.bin")
    tcp=$(tcp_rate)
    echo "$get $put $tcp"
}

guard_on() {
    $lab bridge-off
    MF_GUARD_ARGS=$1 $lab guard-start
    taskset -a -p -c "$middle_cpus" "$(cat "$LAB_DIR/guard.pid")" >/dev/null
}

# Frames the guard could not pass on: its receive rings full, or a link refusing them.
guard_missed() {
    "$LAB_CTL" --control "$LAB_CONTROL" --json stats | python3 -c 'import json,sys
s = json.load(sys.stdin)
print(sum(s[d]["ring_full"] + s[d]["lost"] + s[d]["oversize"] for d in ("from_network", "from_server")))'
}

ratio() { echo "$1 $2" | awk '{printf "%.2f", $1 / $2}'; }
median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
name() { echo "${1:-default}"; }
congestion=$($lab server sysctl -n net.ipv4.tcp_congestion_control)
printf '\nMTU %s; TCP congestion control of the hosts: %s\n' "$MTU" "$congestion"
printf 'placement %s: hosts on processors %s, guard or bridge on %s\n' \
    "$PLACEMENT" "$host_cpus" "$middle_cpus"
printf '%-4s %-28s %8s %8s %8s %6s %6s %6s %7s %s\n' run path "get" "put" "tcp" "get/d" "put/d" \
    "tcp/d" missed load
for run in $(seq "$RUNS"); do
    for i in "${!variants[@]}"; do
        $lab guard-stop
        $lab bridge-on
        read -r d_get d_put d_tcp < <(measure)
        printf '%-4s %-28s %8s %8s %8s %6s %6s %6s %7s %s\n' "$run" bridge "$d_get" "$d_put" \
            "$d_tcp" - - - - "$(cut -d' ' -f1 /proc/loadavg)"
        guard_on "${variants[$i]}"
        read -r g_get g_put g_tcp < <(measure)
        missed=$(guard_missed)
        $lab guard-stop
        r=("$(ratio "$g_get" "$d_get")" "$(ratio "$g_put" "$d_put")" "$(ratio "$g_tcp" "$d_tcp")")
        printf '%-4s %-28s %8s %8s %8s %6s %6s %6s %7s %s\n' "$run" "$(name "${variants[$i]}")" \
            "$g_get" "$g_put" "$g_tcp" "${r[@]}" "$missed" "$(cut -d' ' -f1 /proc/loadavg)"
        echo "$i ${r[*]}" >>"$work/ratios"
    done
done
printf '\nmedian ratios to the bridge over %s runs (get, put, bulk TCP)\n' "$RUNS"
for i in "${!variants[@]}"; do
    printf '%-34s' "$(name "${variants[$i]}")"
    for column in 2 3 4; do
        printf ' %6s' "$(awk -v i="$i" -v c="$column" '$1 == i {print $c}' "$work/ratios" | median)"
    done
    printf '\n'
done
