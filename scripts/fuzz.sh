#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan and UBSan) and runs each for a bounded
# time. Corpora start from seeds written from the real captures and the test builders,
# and from the inputs kept in fuzz/corpus/ (earlier findings among them). Exits non-zero
# when a target finds a crash; the input that caused it is left in BUILD/artifacts.
#   scripts/fuzz.sh [SECONDS] [BUILD_DIR] [TARGET...]   (default: every target, in turn)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${2:-build-fuzz}
all_targets=(fuzz_frames fuzz_identify fuzz_control fuzz_list_reader)
targets=("${@:3}")
if [[ ${#targets[@]} -eq 0 ]]; then
    targets=("${all_targets[@]}")
fi
for target in "${targets[@]}"; do
    if [[ " ${all_targets[*]} " != *" $target "* ]]; then
        echo "fuzz.sh: no target $target (targets: ${all_targets[*]})" >&2
        exit 2
    fi
done

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMERROWFALDINE_FUZZ=ON -DMERROWFALDINE_BENCH=OFF > /dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" write_seeds

scripts/fuzz-seeds.sh "$build"
mkdir -p "$build/artifacts"

# Dictionaries of the protocol fields, where a target reads them.
declare -A dictionary=([fuzz_frames]=fuzz/smb.dict [fuzz_identify]=fuzz/ntlm.dict)
# The longest input: 64 KB holds the largest frame, request or blob. A frame sequence is
# kept to 4 KB, a set-up and a few operations: the seed writer also cuts each longer
# conversation into windows of that size (each with its set-up and the creates its
# operations name), and a frame of up to 64 KB fits in a few bytes with a zero tail: short
# inputs reach the engine lines whole conversations reach, at over twice the rate. A list file
# is read whole into strings, so nothing in the reader depends on its length past a few
# lines longer than any path; longer lists only made each input slower.
declare -A max_len=([fuzz_frames]=4096 [fuzz_list_reader]=4096)

# ASan records no allocation stacks while fuzzing: walking the stack on every allocation
# costs the list reader, which allocates per line, about a sixth of its inputs. A finding
# is run once more with them, for its report. The quarantine holds 1 MB of freed blocks
# rather than 256 MB: a block reused from a large quarantine has left the caches, and late
# in a run that cost the list reader half its time. An input frees a few kilobytes, so a
# use after a free within the same input is still caught.
fuzzing_asan_options=${ASAN_OPTIONS:-malloc_context_size=0:quarantine_size_mb=1}

status=0
for target in "${targets[@]}"; do
    echo "fuzzing $target for ${seconds}s"
    options=(-max_total_time="$seconds" -print_final_stats=1
             -max_len="${max_len[$target]:-65536}"
             -artifact_prefix="$build/artifacts/$target-")
    if [[ -n "${dictionary[$target]:-}" ]]; then
        options+=(-dict="${dictionary[$target]}")
    fi
    touch "$build/artifacts/.started"
    if ! ASAN_OPTIONS=$fuzzing_asan_options "$build/fuzz/$target" "${options[@]}" \
            "$build/corpus-$target" > "$build/$target.log" 2>&1; then
        echo "$target found a crash:"
        finding=$(find "$build/artifacts" -name "$target-*" -newer "$build/artifacts/.started" \
                  | head -n 1)
        if [[ -n "$finding" ]]; then
            echo "$finding, run again with allocation stacks:"
            "$build/fuzz/$target" "$finding" 2>&1 | tail -n 60 || true
        else
            tail -n 40 "$build/$target.log"
        fi
        status=1
    else
        runs=$(awk '/stat::number_of_executed_units/ {print $2}' "$build/$target.log")
        rate=$(awk '/stat::average_exec_per_sec/ {print $2}' "$build/$target.log")
        echo "$target: $runs inputs, $rate per second, no finding"
    fi
done
exit $status
