#!/usr/bin/env bash
# Line coverage of the engine under the fuzz corpora: the fuzz targets built with clang's
# source coverage (no sanitizers), each run once over every input of its corpus, and
# llvm-cov's report per engine file. The corpora are those the last `make fuzz` left in
# FUZZ_BUILD (seeds only, if it never ran). The report goes to BUILD/coverage.txt.
#   scripts/fuzz-coverage.sh [BUILD_DIR] [FUZZ_BUILD]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-fuzz-coverage}
corpora=${2:-build-fuzz}
targets=(fuzz_frames fuzz_identify fuzz_control)

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMERROWFALDINE_FUZZ=ON -DMERROWFALDINE_FUZZ_COVERAGE=ON -DMERROWFALDINE_BENCH=OFF \
    > /dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" write_seeds > "$build/build.log" ||
    { cat "$build/build.log"; exit 1; }
# The seeds as they are now, beside what fuzzing kept (the seed writer's own profile is
# not the engine's and stays out of the report).
LLVM_PROFILE_FILE="$build/write_seeds.profile" scripts/fuzz-seeds.sh "$build"

rm -f "$build"/*.profraw
objects=()
for target in "${targets[@]}"; do
    dirs=("$build/corpus-$target")
    if [[ -d "$corpora/corpus-$target" ]]; then
        dirs+=("$corpora/corpus-$target")
    fi
    LLVM_PROFILE_FILE="$build/$target.profraw" "$build/fuzz/$target" -runs=0 "${dirs[@]}" \
        > "$build/$target-coverage.log" 2>&1 ||
        { tail -n 20 "$build/$target-coverage.log"; exit 1; }
    objects+=(-object "$build/fuzz/$target")
done
llvm-profdata merge -sparse "$build"/*.profraw -o "$build/fuzz.profdata"
# The first object is given plainly, the others with -object.
llvm-cov report "$build/fuzz/${targets[0]}" "${objects[@]:2}" \
    -instr-profile="$build/fuzz.profdata" engine/*.cpp | tee "$build/coverage.txt"
