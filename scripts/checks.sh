# The counting of the shell test scripts; source it. `check DESCRIPTION COMMAND...` runs
# the command (its output dropped, its errors shown), counts it as passed or failed and
# prints a line for it; `check_summary NAME` prints the counts and fails when any check did.
# `eventually TRIES COMMAND...` runs the command every half second until it succeeds, at
# most TRIES times.
passed=0
failed=0

check() {
    local what=$1
    shift
    if "$@" > /dev/null; then
        passed=$((passed + 1))
        echo "ok      $what"
    else
        failed=$((failed + 1))
        echo "FAILED  $what"
    fi
}

check_summary() {
    echo "$1: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}

eventually() {
    local tries=$1
    shift
    for _ in $(seq 1 "$tries"); do
        "$@" && return 0
        sleep 0.5
    done
    return 1
}
