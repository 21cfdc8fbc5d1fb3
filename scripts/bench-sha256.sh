#!/usr/bin/env bash
# Builds the optimised benchmark (preset ci) and measures SHA-256 throughput of the updater against
# openssl and sha256sum on a generated 1 GiB file, plus the updater's peak resident memory.
# The files are written to a private directory (about 1.1 GiB free space needed) that is removed
# afterwards, whatever happens. Set BENCH_DIR to choose where that directory is made.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset ci >/dev/null
cmake --build --preset ci --target bench_sha256

private_dir=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/updater-bench.XXXXXX")
trap 'rm -rf -- "$private_dir"' EXIT

TMPDIR="$private_dir" TMP="$private_dir" TEMP="$private_dir" build/ci/bench/bench_sha256
