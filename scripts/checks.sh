# The counting of the shell test scripts; source it. `check DESCRIPTION COMMAND...` runs
# the command (its output dropped, its errors shown), counts it as passed or failed and
# prints a line for it; `check_summary NAME` prints the counts and fails when any check did.
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
