#!/usr/bin/env bash
# Builds the updater and runs the whole test suite: a clang-format check, the release build with
# warnings as errors (workflow preset "ci", which also runs every fixture generator once), then
# the same suite under AddressSanitizer and UndefinedBehaviorSanitizer (workflow preset
# "sanitize": without the tests labelled "slow", the end-to-end runs that wait out the updater's
# two-minute limit or kill it at each stage, and "generators", which the first pass has covered),
# then the Windows build with its suite under Wine
# (scripts/test-windows.sh). After the first pass, the host library's package is installed and
# examples/host-application built against it (scripts/check-host-package.sh). When clang is there,
# each fuzz target runs for a short smoke time (scripts/fuzz.sh). Prints how long each pass took.
# Every suite runs in a network namespace of its own (scripts/private-network.sh), so two runs on
# one machine never share the loopback port of the TEST CRL server.
# Set UPDATER_SKIP_SANITIZE=1, UPDATER_SKIP_FUZZ=1 or UPDATER_SKIP_WINDOWS=1 to leave out a pass.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

# A workflow preset (CMakePresets.json): configure, build, then the test preset with its label
# filter, in a network namespace of its own.
run_workflow() {
    local preset=$1 started=$SECONDS
    echo "== ${preset}: cmake --workflow --preset ${preset}" >&2
    scripts/private-network.sh cmake --workflow --preset "$preset"
    echo "== ${preset}: took $((SECONDS - started)) s" >&2
}

echo "== format: clang-format --dry-run over every C++ file" >&2
find src host demo bench tests examples -name '*.cpp' -print0 -o -name '*.h' -print0 |
    xargs -0 clang-format --dry-run -Werror

run_workflow ci
scripts/check-host-package.sh build/ci
if [[ "${UPDATER_SKIP_SANITIZE:-0}" != 1 ]]; then
    run_workflow sanitize
fi
if [[ "${UPDATER_SKIP_FUZZ:-0}" != 1 ]] && command -v clang++ >/dev/null; then
    started=$SECONDS
    echo "== fuzz: each target for 10 s" >&2
    scripts/fuzz.sh 10
    echo "== fuzz: took $((SECONDS - started)) s" >&2
fi
if [[ "${UPDATER_SKIP_WINDOWS:-0}" != 1 ]]; then
    started=$SECONDS
    scripts/test-windows.sh
    echo "== windows: took $((SECONDS - started)) s in all" >&2
fi
