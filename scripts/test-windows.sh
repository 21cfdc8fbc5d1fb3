#!/usr/bin/env bash
# Builds the Windows Updater.exe with the MinGW-w64 cross compiler and runs the test suite under
# Wine (headless, in a throwaway Wine prefix inside build/windows). The first run on a machine
# also builds Qt for Windows into the machine's cache (scripts/windows/build-qt.sh), which takes
# about 10 minutes on 2 cores; later runs reuse it. Then it checks the host library's package with
# the same toolchain (scripts/check-host-package.sh). Prints how long each step took.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

step_started=$SECONDS
step_done() {
    echo "== windows: $1 took $((SECONDS - step_started)) s" >&2
    step_started=$SECONDS
}

UPDATER_QT_WINDOWS_PREFIX=$(scripts/windows/build-qt.sh | tail -n 1)
export UPDATER_QT_WINDOWS_PREFIX
step_done "Qt for Windows ($UPDATER_QT_WINDOWS_PREFIX)"

# Should the run be interrupted, no Wine process or prefix is left behind; the suite's own last
# test removes them otherwise.
stop_wine() {
    WINEPREFIX="$PWD/build/windows/wine-prefix" scripts/windows/wine-run.sh --stop
}
trap stop_wine EXIT

echo "== windows: cmake --workflow --preset windows" >&2
scripts/private-network.sh cmake --workflow --preset windows
step_done "configure, build and tests under Wine"
scripts/check-host-package.sh build/windows \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/windows-qt-mingw.cmake"
