# Sourced by the capture scripts: a fresh lab with a plain bridge in the guard's place
# (so the capture shows what client and server sent), taken down however the script ends.
# Needs ROOT and LAB; sets the lab's variables (LAB_SHARES, ...) and TCPDUMP_PID="".
TCPDUMP_PID=""

cleanup() {
    [[ -n $TCPDUMP_PID ]] && kill "$TCPDUMP_PID" 2>/dev/null && wait "$TCPDUMP_PID" || true
    "$LAB" down >/dev/null 2>&1 || true
}
trap cleanup EXIT

"$LAB" down >/dev/null 2>&1 || true
"$LAB" up --no-guard >/dev/null
"$LAB" bridge-on >/dev/null
eval "$("$LAB" env)"
