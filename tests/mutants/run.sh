#!/usr/bin/env bash
# Mutation check of the two drivers: applies each fault of faults.txt on its own, rebuilds
# the driver's tests, runs them and prints which test caught it. Not part of `make test`:
# it rebuilds once per fault.
#
#   tests/mutants/run.sh [FAULT...]      all faults, or only the named ones
#
# MUTANT_BUILD (default build) is a configured build directory; for the AddressSanitizer
# build configure one with -DMERROWFALDINE_SANITIZE=ON and name it here. MUTANT_TIMEOUT
# (seconds, default 300) bounds one test run; a run that hangs counts as caught by it.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${MUTANT_BUILD:-$root/build}
limit=${MUTANT_TIMEOUT:-300}
mutate="python3 $root/tests/mutants/mutate.py"
log=$(mktemp -d)
current=""

restore() {
    if [ -n "$current" ]; then
        $mutate restore "$current" "$root"
        current=""
    fi
}
trap 'restore; exit 130' INT TERM
trap restore EXIT

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$log/configure" 2>&1 ||
        { cat "$log/configure"; exit 1; }
fi
cmake --build "$build" -j2 --target im_tests lwf_tests >"$log/build" 2>&1 ||
    { echo "the unchanged drivers do not build"; tail -20 "$log/build"; exit 1; }

if [ $# -gt 0 ]; then names=("$@"); else mapfile -t names < <($mutate list); fi
caught=0
total=0
printf '%-52s %s\n' "FAULT" "CAUGHT BY"
for name in "${names[@]}"; do
    total=$((total + 1))
    file=$($mutate file "$name")
    case "$file" in
    im/*) target=im_tests ;;
    *) target=lwf_tests ;;
    esac
    current=$name
    if ! $mutate apply "$name" "$root"; then
        printf '%-52s %s\n' "$name" "NOT APPLIED"
        current=""
        continue
    fi
    if ! cmake --build "$build" -j2 --target "$target" >"$log/build" 2>&1; then
        verdict="NOT CAUGHT (does not compile)"
    else
        rc=$({
            timeout "$limit" "$build/tests/$target" >"$log/run" 2>&1
            echo $?
        } 2>/dev/null)
        failed=$(sed -n 's/^\[  FAILED  \] \([A-Za-z0-9_.]*\) (.*/\1/p' "$log/run" | sort -u |
            tr '\n' ' ')
        if [ "$rc" -eq 0 ]; then
            verdict="NOT CAUGHT"
        elif [ -n "$failed" ]; then
            verdict="$failed"
        else
            # Aborted (a misuse report, a sanitizer) or hung: the test that was running.
            running=$(sed -n 's/^\[ RUN      \] //p' "$log/run" | tail -1)
            why=$(grep -m1 -o -e 'kernel interface misuse: .*' -e 'ERROR: AddressSanitizer: [a-z-]*' \
                "$log/run" | cut -c1-70)
            [ "$rc" -eq 124 ] && why="hung"
            verdict="$running (${why:-exit $rc})"
        fi
    fi
    restore
    case "$verdict" in NOT*) ;; *) caught=$((caught + 1)) ;; esac
    printf '%-52s %s\n' "$name" "$verdict"
done
# Leave the build as the sources are.
cmake --build "$build" -j2 --target im_tests lwf_tests >/dev/null 2>&1
echo "caught $caught of $total"
rm -rf "$log"
[ "$caught" -eq "$total" ]
