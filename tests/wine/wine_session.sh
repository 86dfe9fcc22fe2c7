# What the Wine driver tests share; source it after scripts/checks.sh. A session is one
# wineserver with its prefix, a keeper process and one driver service: a driver starts
# once per session (a restarted driver's symbolic link would collide).
#   new_prefix PREFIX      a fresh prefix with Wine's own ndis.sys overridden by ours (and
#                          a longer wait for driver hosts, for emulated ones)
#   start_session          a keeper that holds the service manager up for the session
#   stop_session           ends what the session started, by PID, and the wineserver
#   ctl ARGS...            merrowfaldine-ctl.exe from C:\drv, its output without CRs
#   answers                the driver answers the engine's version ($version)
#   need PROGRAM WHAT      the script fails unless PROGRAM can run
#   add_service NAME ARCH IMAGE   a kernel driver's service written to the registry
#   driver_prefix PREFIX NAME ARCH SYS STANDIN   a copy of PREFIX set up for one driver
#                          (merrowfaldine-ctl.exe from $WINE_TOOL_DIR)
#   within_patience CMD    CMD every half second until it succeeds, for $patience seconds
#   driver_started NAME    the driver's service runs (a stopped one is started again)
# and what the capture runs compare (the Linux replay's JSON lines against the driver's).
wine64=/usr/lib/wine/wine64
WINE_DATA_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../data" && pwd)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
unset DISPLAY

# The engine version the drivers answer.
version=$(grep -o 'EngineVersion = [0-9]*' "$(dirname "${BASH_SOURCE[0]}")/../../engine/control_codes.h" |
    grep -o '[0-9]*$')
answers() { [ "$(ctl version)" = "$version" ]; }

# Ends the script with a failure when a program the run needs is missing.
need() { # PROGRAM WHAT
    [ -x "$1" ] && return
    echo "FAIL: $2 is needed ($1)" >&2
    exit 1
}

sleeper=
keeper=
stop_session() {
    [ -n "$keeper" ] && kill "$keeper" 2> /dev/null
    [ -n "$sleeper" ] && kill "$sleeper" 2> /dev/null
    [ -n "${WINEPREFIX:-}" ] && /usr/bin/wineserver -k 2> /dev/null
    keeper=
    sleeper=
}

new_prefix() { # PREFIX LOG [HOST_WAIT_MS]
    export WINEPREFIX=$1
    rm -rf "$WINEPREFIX"
    $wine64 wineboot -i > "$2" 2>&1
    # Without the override Wine loads its own ndis.sys, whose first NDIS call aborts.
    $wine64 reg add 'HKCU\Software\Wine\DllOverrides' /v ndis.sys /d native /f > /dev/null 2>&1
    # The service manager gives a driver's host 10 s to connect, then gives the start up and
    # marks the service stopped; an emulated 32-bit host takes a minute or two, so every start
    # was given up and asked again, and the hosts piled up. Such a prefix gets a longer wait:
    # long enough for a slow host to connect at its first start, short enough that one that
    # hangs (an emulated host sometimes does) is still given up in time for driver_started
    # to ask for another. Wine's manager reads it (milliseconds, a string) when it starts.
    if [ -n "${3:-}" ]; then
        $wine64 reg add 'HKLM\System\CurrentControlSet\Control' /v ServicesPipeTimeout \
            /t REG_SZ /d "$3" /f > /dev/null 2>&1
    fi
    # The set-up session ends before a run's own starts: a keeper that attached to the
    # ending session would leave the service manager stopping under the run.
    /usr/bin/wineserver -w
}

# Wine stops the service manager, and the drivers with it, when the last user process
# exits: one stays alive for the whole session, reading a FIFO nobody writes to.
start_session() { # FIFO
    rm -f "$1"
    mkfifo "$1"
    sleep 3600 > "$1" 2> /dev/null &
    sleeper=$!
    $wine64 cmd.exe < "$1" > /dev/null 2>&1 &
    keeper=$!
}

ctl() { (set -o pipefail && cd "$WINEPREFIX/drive_c" && $wine64 'C:\drv\merrowfaldine-ctl.exe' "$@" 2> /dev/null | tr -d '\r'); }

policy_applied() { # POLICY (a file in C:\drv)
    (cd "$WINEPREFIX/drive_c" && $wine64 'C:\drv\merrowfaldine-ctl.exe' policy "C:\\drv\\$1" 2>&1) |
        grep -q '^policy applied: [0-9]* rules'
}

# Writes a driver's service to the registry, as the sc.exe of the driver's own architecture
# creates it: an i386 driver is marked WOW64, so that the service manager starts the 32-bit
# driver host for it. (The 32-bit sc.exe itself would take minutes where 32-bit programs run
# emulated; the one of the other architecture gets the mark wrong and the load fails with
# c0000142.)
add_service() { # NAME ARCH IMAGE
    local key="HKLM\\System\\CurrentControlSet\\Services\\$1"
    local values=("Type REG_DWORD 1" "Start REG_DWORD 3" "ErrorControl REG_DWORD 1"
        "ObjectName REG_SZ LocalSystem" "ImagePath REG_SZ $3")
    [ "$2" = i386 ] && values+=("WOW64 REG_DWORD 1")
    local name type data
    for value in "${values[@]}"; do
        read -r name type data <<< "$value"
        $wine64 reg add "$key" /v "$name" /t "$type" /d "$data" /f > /dev/null 2>&1 || return 1
    done
}

# A prefix of its own for one driver: a copy of PREFIX with the driver, its stand-in, the
# control tool and the policies in C:\drv, and the driver's service NAME written; sets
# WINEPREFIX, c (its drive C:) and drv (the driver's folder). The set-up session has ended
# when this returns: a keeper that attached to an ending session would leave the service
# manager stopping under the run.
driver_prefix() { # PREFIX NAME ARCH SYS STANDIN
    export WINEPREFIX=$1-$3
    rm -rf "$WINEPREFIX"
    cp -a "$1" "$WINEPREFIX"
    c=$WINEPREFIX/drive_c
    drv=$c/drv/$3
    mkdir -p "$drv"
    cp "$4" "$5" "$drv/"
    cp "$WINE_TOOL_DIR/merrowfaldine-ctl.exe" "$WINE_DATA_DIR"/replay/*.policy.json "$c/drv/"
    add_service "$2" "$3" "C:\\drv\\$3\\$(basename "$4")" || return 1
    /usr/bin/wineserver -w
}

# True once the driver's service runs. Emulated, the 32-bit driver host can come up later
# than the service manager waits for a driver to start, and the start is then given up:
# a stopped service is asked to start again.
driver_started() { # NAME
    local state
    state=$(cd "$WINEPREFIX/drive_c" && $wine64 sc query "$1" 2> /dev/null | grep STATE)
    case $state in
    *RUNNING*) return 0 ;;
    *STOPPED*) (cd "$WINEPREFIX/drive_c" && $wine64 sc start "$1" > /dev/null 2>&1) ;;
    esac
    return 1
}

# Runs the command every half second until it succeeds, for at most $patience seconds: the
# i386 driver host runs emulated where the kernel cannot run 32-bit programs, and one try
# of a command that starts a Wine program can itself take seconds.
patience=120
within_patience() {
    local deadline=$(($(date +%s) + patience))
    until "$@"; do
        [ "$(date +%s)" -lt "$deadline" ] || return 1
        sleep 0.5
    done
}

# Every line of the Linux replay of one type, without the frame number; the same from the
# driver, without the time.
replay_lines() { jq -c "select(.type == \"$2\") | del(.frame)" "$1"; }
driver_lines() { ctl --json "$1" | jq -c 'del(.time)'; }
same_file() { cmp "$1" "$2" >&2; }
same_lines() { diff <(printf '%s\n' "$1") <(printf '%s\n' "$2") >&2; }
