#!/usr/bin/env bash
# Installs the Debian packages that the Linux build, its tests and the demo need, when any is
# missing; with package names as arguments, those packages instead (scripts/windows/build-qt.sh
# installs its own this way). Needs root (or sudo) only when something has to be installed.
# Everything it prints goes to standard error.
#   scripts/install-deps.sh [package...]
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    iproute2              # ip: loopback up in the test runs' private network namespace
    clang-format          # the format check that the test script runs first
    clang libclang-rt-14-dev  # the fuzz preset: clang with libFuzzer, ASan and UBSan
    qt6-base-dev          # Qt 6 Core and Qt Test: strings, files, JSON, hashing, processes
    libssl-dev            # OpenSSL: the POSIX Authenticode verifier (PKCS#7, X.509, CRLs, timestamps)
    libcurl4-openssl-dev  # libcurl: CRL downloads for revocation checking
    openssl               # tests: reference SHA-256 and throwaway code-signing certificates
    python3               # tests, demo and benchmark: serve the TEST CRLs (python3 -m http.server)
    osslsigncode          # tests: signs the test installers when the suite is built (Windows build
                          # too); compares verdicts with osslsigncode verify
    g++-mingw-w64-x86-64-posix  # the Windows cross compiler (posix threads, as Qt needs)
    dpkg-dev              # dpkg-source, to unpack Debian's Qt source for the Windows Qt build
    wine64                # runs the Windows build's tests
    nsis                  # makensis: the demo's installer (demo/demo-installer.nsi), checked by the
                          # verdict table on every platform and installed by the Windows demo
    gcc-mingw-w64-i686-win32  # tests/pki/make-test-pki.sh: the 32-bit unsigned TEST program
    pkexec                # the end-to-end row of an updater without rights binds the test's own
                          # pkexec over this one
)

(($#)) && packages=("$@")

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
if ((${#missing[@]} == 0)); then
    exit 0
fi

echo "Installing missing packages: ${missing[*]}" >&2
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then
    sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq >&2
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
