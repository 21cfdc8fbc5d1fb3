#!/usr/bin/env bash
# Checks the host library's package from a configured and built updater tree: installs the
# component "host" into a scratch prefix inside the build directory, checks that it holds the
# library, its one public header and the package files and nothing else, and configures and builds
# examples/host-application against it with find_package. On Linux the example also runs once and
# must refuse a missing installer. Prints how long it took.
#
# check-host-package.sh BUILD_DIR [CMAKE_ARGUMENT...]
#   CMAKE_ARGUMENT: given to the example's configure step, e.g. the cross build's toolchain file.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=$(realpath "$1")
shift
started=$SECONDS
scratch=$build_dir/host-package
prefix=$scratch/prefix
example_build=$scratch/example
fail() {
    echo "== host package: FAILED: $*" >&2
    exit 1
}
trap 'fail "line $LINENO: $BASH_COMMAND"' ERR

rm -rf "$scratch"
cmake --install "$build_dir" --component host --prefix "$prefix" >/dev/null

# Nothing but the library, its public header and the package files (one Targets-<config> file per
# installed configuration): no private header, nothing of the updater. Whether they work, the
# example's build shows.
package='lib[^/]*/cmake/QuindlebrookwareUpdaterHost/QuindlebrookwareUpdaterHost'
allowed="lib[^/]*/(lib)?updater_host\.(a|lib)|include/QuindlebrookwareUpdater/update_launcher\.h"
allowed+="|${package}(Config|ConfigVersion|Targets|Targets-[a-z]+)\.cmake"
unexpected=$(cd "$prefix" && find . -type f -printf '%P\n' | grep -Ev "^($allowed)\$" || true)
[[ -z "$unexpected" ]] || fail "the prefix holds more than the host library:"$'\n'"$unexpected"

# A cross build's Qt toolchain confines the package search to its own root; Qt's variable for
# packages beside it adds the prefix there, and a native build ignores it.
QT_ADDITIONAL_PACKAGES_PREFIX_PATH=$prefix \
    cmake -S examples/host-application -B "$example_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" "$@" >/dev/null
cmake --build "$example_build"

if [[ -x "$example_build/host-application" ]]; then
    code=0
    output=$("$example_build/host-application" --update "$scratch/missing-installer.exe" 2>&1) ||
        code=$?
    if [[ $code -ne 1 || "$output" != "host-application: Installer does not exist or is not a file: "* ]]; then
        fail "the example exited with $code and printed: $output"
    fi
fi
echo "== host package: installed to $prefix, example built in $example_build:" \
    "took $((SECONDS - started)) s" >&2
