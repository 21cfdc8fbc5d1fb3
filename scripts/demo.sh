#!/usr/bin/env bash
# Builds the updater and shows its main job on this machine. For now the update stages after the
# command line are not all built, so the demo shows the updater refusing a command line whose
# installer lies outside an approved staging directory, and the log that it writes.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target Updater >/dev/null

demo_temp=$(mktemp -d)
trap 'rm -rf "$demo_temp"' EXIT
mkdir -p "$demo_temp/elsewhere"
printf 'MZ' >"$demo_temp/elsewhere/installer.exe"

echo "Private TEMP for the demo: $demo_temp"
set +e
TMPDIR="$demo_temp" build/default/src/Updater --temporary-copy --pid $$ \
    --installer "$demo_temp/elsewhere/installer.exe" \
    --sha256 0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef \
    --restart /usr/bin/true
code=$?
set -e
echo "Updater exit code: $code (1: command line refused)"
echo "--- $demo_temp/Vexta-Updater.log"
cat "$demo_temp/Vexta-Updater.log"
