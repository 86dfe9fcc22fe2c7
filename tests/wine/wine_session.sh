# What the Wine driver tests share; source it after scripts/checks.sh. A session is one
# wineserver with its prefix, a keeper process and one driver service: a driver starts
# once per session (a restarted driver's symbolic link would collide).
#   new_prefix PREFIX      a fresh prefix with Wine's own ndis.sys overridden by ours
#   start_session          a keeper that holds the service manager up for the session
#   stop_session           ends what the session started, by PID, and the wineserver
#   ctl ARGS...            merrowfaldine-ctl.exe from C:\drv, its output without CRs
wine64=/usr/lib/wine/wine64
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
unset DISPLAY

sleeper=
keeper=
stop_session() {
    [ -n "$keeper" ] && kill "$keeper" 2> /dev/null
    [ -n "$sleeper" ] && kill "$sleeper" 2> /dev/null
    [ -n "${WINEPREFIX:-}" ] && /usr/bin/wineserver -k 2> /dev/null
    keeper=
    sleeper=
}

new_prefix() { # PREFIX LOG
    export WINEPREFIX=$1
    rm -rf "$WINEPREFIX"
    $wine64 wineboot -i > "$2" 2>&1
    # Without the override Wine loads its own ndis.sys, whose first NDIS call aborts.
    $wine64 reg add 'HKCU\Software\Wine\DllOverrides' /v ndis.sys /d native /f > /dev/null 2>&1
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
