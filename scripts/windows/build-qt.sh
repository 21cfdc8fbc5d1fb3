#!/usr/bin/env bash
# Builds Qt 6 Core and Qt Test for 64-bit Windows (MinGW-w64, posix threads) from Debian's own Qt
# source, once per machine, into a cache directory outside the checkout. Prints the installed
# prefix on its last line of standard output; everything else goes to standard error.
#
# What it does on a fresh machine (as root, or with sudo):
#   1. installs the MinGW-w64 cross compiler, the native Qt (its moc/rcc are the host tools that the
#      cross build uses) and dpkg-dev, when missing;
#   2. adds a deb-src entry for the machine's Debian suites (/etc/apt/sources.list.d/
#      updater-deb-src.sources) when no source entry exists, and runs apt-get update;
#   3. fetches the source of qt6-base in the same version as the native Qt and unpacks it with its
#      Debian patches applied;
#   4. configures the smallest Qt that the updater needs (Core and Test, shared, release), builds
#      and installs it into the cache, then removes the build tree and the source.
# Later runs find the finished prefix (a stamp file records the configuration) and only print it.
#
# Settings (environment):
#   UPDATER_CACHE_DIR  where the cache lives (default: /var/cache/quindlebrookware-updater as root,
#                      else ${XDG_CACHE_HOME:-~/.cache}/quindlebrookware-updater)
#   UPDATER_QT_JOBS    build parallelism (default: the number of cores)
set -euo pipefail

repo_dir=$(cd "$(dirname "$0")/../.." && pwd)
toolchain_file="$repo_dir/cmake/mingw-w64-x86_64.cmake"

qt_version=6.4.2

log() { echo "build-qt: $*" >&2; }

sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then
    sudo_cmd=(sudo)
fi

# The compiler must exist before the cache key (which names its version) can be computed.
"$repo_dir/scripts/install-deps.sh" g++-mingw-w64-x86-64-posix qt6-base-dev qt6-base-dev-tools dpkg-dev cmake ninja-build
# "-dumpversion" says e.g. "12-posix"; the key keeps the major version alone.
gcc_major=$(x86_64-w64-mingw32-g++-posix -dumpversion | sed 's/[^0-9].*//')

if [[ -n "${UPDATER_CACHE_DIR:-}" ]]; then
    cache_dir=$UPDATER_CACHE_DIR
elif [[ $(id -u) -eq 0 ]]; then
    cache_dir=/var/cache/quindlebrookware-updater
else
    cache_dir=${XDG_CACHE_HOME:-$HOME/.cache}/quindlebrookware-updater
fi
key="qt-${qt_version}-mingw-w64-x86_64-posix-gcc${gcc_major}"
prefix="$cache_dir/$key"
work_dir="$cache_dir/$key.build"

# The stamp names everything that changes the result; a prefix with another stamp is rebuilt.
configure_options=(
    -release -shared -qt-host-path /usr
    -nomake examples -nomake tests
    -no-gui -no-widgets -no-dbus -no-opengl -no-icu
    -no-feature-network -no-feature-sql -no-feature-xml -no-feature-concurrent
    -no-feature-printsupport -no-feature-androiddeployqt
)
# -static in the link flags puts libgcc, libstdc++ and winpthread into Qt6Core.dll itself, so that
# the DLL imports only system libraries and ships alone beside Updater.exe.
cmake_options=(
    "-DCMAKE_TOOLCHAIN_FILE=$toolchain_file"
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
    -DCMAKE_SHARED_LINKER_FLAGS=-static
    -DCMAKE_EXE_LINKER_FLAGS=-static
)
stamp_text="$key ${configure_options[*]} -DCMAKE_SHARED_LINKER_FLAGS=-static -DCMAKE_EXE_LINKER_FLAGS=-static"
stamp_file="$prefix/.updater-build-stamp"

if [[ -f "$stamp_file" && "$(cat "$stamp_file")" == "$stamp_text" ]]; then
    log "using the cached Qt in $prefix"
    echo "$prefix"
    exit 0
fi

mkdir -p "$cache_dir"
# One build per machine at a time: a second caller waits for the first one and then reuses it.
exec 9>"$cache_dir/$key.lock"
log "waiting for the cache lock $cache_dir/$key.lock"
flock 9
if [[ -f "$stamp_file" && "$(cat "$stamp_file")" == "$stamp_text" ]]; then
    log "using the Qt that another run just built in $prefix"
    echo "$prefix"
    exit 0
fi

started=$SECONDS

# Source package entry: only when apt knows no deb-src line yet.
if ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    log "adding a deb-src entry for Debian $codename (/etc/apt/sources.list.d/updater-deb-src.sources)"
    "${sudo_cmd[@]}" tee /etc/apt/sources.list.d/updater-deb-src.sources >/dev/null <<SOURCES
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $codename $codename-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
    "${sudo_cmd[@]}" apt-get update -qq >&2
fi

host_version=$(dpkg-query -W -f='${Version}' qt6-base-dev)
if [[ "$host_version" != "$qt_version"* ]]; then
    log "the native Qt is $host_version, but this build needs $qt_version as its host Qt" >&2
    exit 1
fi

rm -rf "$work_dir" "$prefix"
mkdir -p "$work_dir"
cd "$work_dir"
log "fetching the source of qt6-base $host_version"
apt-get source --download-only -qq "qt6-base=$host_version" >&2
log "unpacking it with the Debian patches"
dpkg-source -x --no-check qt6-base_*.dsc source >&2
mkdir build
cd build

log "configuring (about a minute)"
configure_started=$SECONDS
../source/configure -prefix "$prefix" "${configure_options[@]}" -- "${cmake_options[@]}" \
    >"$work_dir/configure.log" 2>&1 || { tail -n 40 "$work_dir/configure.log" >&2; exit 1; }
log "configured in $((SECONDS - configure_started)) s"

log "building (about 7 minutes on 2 cores; log: $work_dir/build.log)"
build_started=$SECONDS
cmake --build . --parallel "${UPDATER_QT_JOBS:-$(nproc)}" >"$work_dir/build.log" 2>&1 ||
    { tail -n 60 "$work_dir/build.log" >&2; exit 1; }
log "built in $((SECONDS - build_started)) s"
cmake --install . >"$work_dir/install.log" 2>&1 || { tail -n 40 "$work_dir/install.log" >&2; exit 1; }

echo "$stamp_text" >"$stamp_file"
cd "$cache_dir"
rm -rf "$work_dir"
log "Qt $qt_version for Windows is in $prefix ($(du -sh "$prefix" | cut -f1)), built in $((SECONDS - started)) s"
echo "$prefix"
