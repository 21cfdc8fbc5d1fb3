#!/usr/bin/env bash
# Measures the verification's speed and memory in one run of bench/bench_verification.cpp: the
# SHA-256 stage against openssl and sha256sum on a generated 1 GiB file, the POSIX Authenticode
# verification of a signed 256 MiB image against osslsigncode, and the peak memory of a process
# that opens an empty, a 64 MiB, a 1 GiB and a sparse 3 GiB file. Then, when Qt for Windows is at hand
# (UPDATER_QT_WINDOWS_PREFIX), the Windows build of the same program (CNG) under Wine on the same
# files, with openssl and sha256sum timed here on the same file beside it: Wine figures, which
# say what Wine does, not what Windows does.
#
#   scripts/bench-verification.sh [--rounds N] [--no-wine]
#
# Builds run niced (preset ci, and windows for the Wine part). The files (about 1.4 GiB) live in a
# private directory under TMPDIR (or BENCH_DIR), removed afterwards whatever happens. The TEST
# CRLs are served on the fixed port 127.0.0.1:48213, so the Linux run gets a network namespace of
# its own (unshare -n: root or user namespaces) and cannot meet a test suite's server.
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=3
wine=yes
while (($#)); do
    case $1 in
    --rounds)
        rounds=$2
        shift 2
        ;;
    --no-wine)
        wine=no
        shift
        ;;
    *)
        echo "usage: scripts/bench-verification.sh [--rounds N] [--no-wine]" >&2
        exit 2
        ;;
    esac
done

nice -n 10 cmake --preset ci >/dev/null
nice -n 10 cmake --build --preset ci --target bench_verification

private_dir=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/updater-bench.XXXXXX")
files=$private_dir/files
wine_prefix= # set once this run has made a Wine prefix of its own
cleanup() {
    if [[ -n $wine_prefix ]]; then
        WINEPREFIX=$wine_prefix scripts/windows/wine-run.sh --stop || true
    fi
    rm -rf -- "$private_dir"
}
trap cleanup EXIT

machine() {
    echo "$(date +%F), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
}

echo "== Linux: $(machine)"
TMPDIR=$private_dir TMP=$private_dir TEMP=$private_dir \
    unshare -n sh -c 'ip link set lo up && exec "$@"' sh \
    build/ci/bench/bench_verification --work "$files" --rounds "$rounds"

if [[ $wine == no ]]; then
    exit 0
fi
if [[ -z ${UPDATER_QT_WINDOWS_PREFIX:-} ]]; then
    echo "== Wine: skipped (set UPDATER_QT_WINDOWS_PREFIX to Qt for Windows to run it)"
    exit 0
fi
nice -n 10 cmake --preset windows >/dev/null
nice -n 10 cmake --build --preset windows --target bench_verification
wine_prefix=$private_dir/wine-prefix
export WINEPREFIX=$wine_prefix
scripts/windows/wine-run.sh --start >/dev/null
mkdir -p "$private_dir/wine-temp"

echo
echo "== Wine figures (the Windows build under Wine, not Windows): $(machine)"
TEMP=$private_dir/wine-temp scripts/windows/wine-run.sh build/windows/bin/bench_verification.exe \
    --work "Z:${files//\//\\}" --rounds "$rounds" </dev/null | tr -d '\r' | tee "$private_dir/wine.txt"

# The Linux tools on the same file, best of the same number of rounds, against the Wine rows.
file=$files/1GiB.bin
best_seconds() {
    local best=0 started elapsed
    for ((round = 0; round < rounds; round++)); do
        started=$EPOCHREALTIME
        "$@" >/dev/null
        elapsed=$(awk -v a="$started" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }')
        best=$(awk -v a="$best" -v b="$elapsed" 'BEGIN { print (a == 0 || b < a) ? b : a }')
    done
    echo "$best"
}
wine_seconds() { # the wall seconds of the named row of the Wine table
    awk -v name="$1" 'index($0, name) == 1 { split(substr($0, 46), f, " "); print f[1]; exit }' \
        "$private_dir/wine.txt"
}
openssl_seconds=$(best_seconds openssl dgst -sha256 "$file")
sha256sum_seconds=$(best_seconds sha256sum --binary "$file")
echo
echo "The Linux tools on the same file (timed by this script) against the Wine rows above"
for row in "openssl dgst -sha256:$openssl_seconds" "sha256sum:$sha256sum_seconds" \
    "open + calculateSha256 under Wine:$(wine_seconds 'open + calculateSha256')"; do
    awk -v name="${row%:*}" -v s="${row##*:}" -v ref="$openssl_seconds" -v size="$(stat -c %s "$file")" \
        'BEGIN { printf "%-44s %8.3f %8s %9.1f  %.2fx\n", name, s, "-", size / 1e6 / s, s / ref }'
done
theirs=$(openssl dgst -sha256 -r "$file" | cut -c1-64)
if grep -q "^SHA-256 $theirs" "$private_dir/wine.txt"; then
    echo "SHA-256 under Wine: the same as openssl's"
else
    echo "SHA-256 under Wine: DIFFERENT from openssl's ($theirs)"
    exit 1
fi
