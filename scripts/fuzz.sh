#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz": clang, ASan, UBSan) and runs each for the given
# number of seconds, starting from its committed seed corpus in tests/fuzz/corpus/<target>.
# Usage: scripts/fuzz.sh <seconds> [target...]   (default: every tests/fuzz/fuzz_<target>.cpp)
# What a run finds is kept in build/fuzz/corpus/<target>; a crash, leak or time-out leaves its
# input in build/fuzz/artifacts/ and makes the script fail. Each target runs in a private network
# namespace where one can be made (the verifier's CRL downloads never leave the machine anyway).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:?usage: scripts/fuzz.sh <seconds> [target...]}
shift
targets=("$@")
if ((${#targets[@]} == 0)); then
    # Every target of tests/fuzz/ (fuzz_<target>.cpp).
    for source in tests/fuzz/fuzz_*.cpp; do
        name=${source##*/fuzz_}
        targets+=("${name%.cpp}")
    done
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

# The targets make their private TEMP below this one, never in the machine's.
export TMPDIR=$PWD/build/fuzz/temp
rm -rf "$TMPDIR" && mkdir -p "$TMPDIR"
isolate=()
unshare -n true 2>/dev/null && isolate=(unshare -n)
mkdir -p build/fuzz/artifacts
for target in "${targets[@]}"; do
    corpus=build/fuzz/corpus/$target
    mkdir -p "$corpus"
    echo "== fuzz_${target}: ${seconds} s" >&2
    "${isolate[@]}" "build/fuzz/tests/fuzz/fuzz_${target}" -max_total_time="$seconds" \
        -timeout=30 -artifact_prefix="build/fuzz/artifacts/${target}-" -print_final_stats=1 \
        "$corpus" "tests/fuzz/corpus/$target" 2>"build/fuzz/${target}.log" ||
        { tail -n 60 "build/fuzz/${target}.log" >&2; exit 1; }
    grep -E '^(Done|stat::number_of_executed_units)' "build/fuzz/${target}.log" >&2 || true
done
