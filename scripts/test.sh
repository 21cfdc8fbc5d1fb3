#!/usr/bin/env bash
# Builds the updater and runs the whole test suite: the release build with warnings as errors,
# then the same suite under AddressSanitizer and UndefinedBehaviorSanitizer, without the tests
# labelled "slow" (the end-to-end run that waits out the updater's two-minute limit), which the
# first pass has covered.
# Set UPDATER_SKIP_SANITIZE=1 to run only the first pass.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

run_preset() {
    local preset=$1
    shift
    echo "== ${preset}: configure, build, test" >&2
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset" "$@"
}

run_preset ci
if [[ "${UPDATER_SKIP_SANITIZE:-0}" != 1 ]]; then
    run_preset sanitize --label-exclude slow
fi
