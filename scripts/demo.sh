#!/usr/bin/env bash
# A complete, signed update on this machine, start to end:
#   - builds the updater (preset "default", which pins the TEST publisher of tests/pki and trusts
#     only the TEST root),
#   - lays out, in a private directory: an install directory with the updater, the demo
#     application at version 1.0.0 in a directory of its own, and a private TEMP,
#   - serves the TEST certificates' revocation lists on 127.0.0.1:48213 for the signature check,
#   - builds an installer whose payload "installs" version 2.0.0 of the demo application and
#     signs it with the TEST publisher's key,
#   - runs the demo host, which stages the installer, starts the updater and exits,
#   - waits for the update and the self-delete, and shows what happened.
# Exits non-zero when the update did not succeed. Needs root (or sudo) only to install missing
# Debian packages.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=$repo/build/default
pki=$repo/tests/pki

scripts/install-deps.sh
echo "== Building (preset default)"
cmake --preset default >/dev/null
cmake --build --preset default --target Updater demo-application demo-host serve-crls \
    make-installer-image >/dev/null

started_ms=$(($(date +%s%N) / 1000000))
area=$(mktemp -d "${TMPDIR:-/tmp}/updater-demo.XXXXXX")
crl_pid=
cleanup() {
    if [[ -n $crl_pid ]]; then
        kill "$crl_pid" 2>/dev/null || true
        wait "$crl_pid" 2>/dev/null || true
    fi
    rm -rf "$area"
}
trap cleanup EXIT

install_dir=$area/install
app_dir=$area/application
demo_temp=$area/TEMP
mkdir -p "$install_dir" "$app_dir" "$demo_temp" "$area/download"
cp "$build/src/Updater" "$install_dir/Updater"
cp "$build/demo/demo-application" "$app_dir/demo-application"
echo "1.0.0" >"$app_dir/version.txt"
log=$demo_temp/Vexta-Updater.log

echo "== Layout in $area"
echo "   install directory:   $install_dir (Updater)"
echo "   application:         $app_dir (demo-application, version.txt)"
echo "   TEMP of the update:  $demo_temp"
echo "== Version before the update"
before=$("$app_dir/demo-application")
echo "   $before"

# Revocation checking needs the TEST CRLs; the certificates name this server.
"$build/tests/serve-crls" "$pki" 2>"$area/serve-crls.err" &
crl_pid=$!
for _ in $(seq 50); do
    grep -q "serving" "$area/serve-crls.err" 2>/dev/null && break
    if ! kill -0 "$crl_pid" 2>/dev/null; then
        echo "demo: the CRL server did not start: $(cat "$area/serve-crls.err")" >&2
        exit 1
    fi
    sleep 0.1
done

echo "== Building the installer for version 2.0.0"
echo "   Signed with the TEST publisher of tests/pki (a DEMO key, NOT FOR PRODUCTION): only a"
echo "   build that pins this TEST publisher accepts it."
payload=$area/payload.sh
cat >"$payload" <<EOF
printf '2.0.0\n' >'$app_dir/version.txt'
EOF
"$build/tests/tools/make-installer-image" "$area/unsigned.exe" "$payload"
cat "$pki/test-publisher.pem" "$pki/test-intermediate.pem" >"$area/chain.pem"
osslsigncode sign -certs "$area/chain.pem" -key "$pki/test-publisher.key.pem" -h sha256 \
    -n "Demo application 2.0.0 (TEST publisher, NOT FOR PRODUCTION)" \
    -in "$area/unsigned.exe" -out "$area/download/demo-application-2.0.0-setup.exe" >/dev/null

echo "== Running the demo host (stages the installer, starts the updater, exits)"
# The updater's processes inherit the host's output: a file, so that none of them writes into
# a pipe that is gone by then.
TMPDIR=$demo_temp "$build/demo/demo-host" --updater "$install_dir/Updater" \
    --installer "$area/download/demo-application-2.0.0-setup.exe" \
    --application "$app_dir/demo-application" >"$area/demo-host.out" 2>&1 || {
    cat "$area/demo-host.out"
    echo "demo: the host could not start the update" >&2
    exit 1
}
sed 's/^/   /' "$area/demo-host.out"
staging=$(sed -n 's/^demo-host: process [0-9]* staged //p' "$area/demo-host.out")

echo "== Waiting for the update and the self-delete"
outcome=
for _ in $(seq 600); do
    if grep -q "Updater finished successfully\.$" "$log" 2>/dev/null; then
        outcome=success
        break
    fi
    # The temporary copy's verdict when it stops at a failed stage.
    if grep -qE "^\[[^]]*\] (Invalid command-line arguments|SECURITY ERROR: [a-z ]+ validation failed|Installer does not exist, is not a file, or is not readable|Application did not close successfully|SHA-256 verification FAILED|Strict Authenticode verification FAILED|Installation failed -> Staging area cleaned|Application restart failed -> Staging area cleaned)\.$" \
        "$log" 2>/dev/null; then
        outcome=failure
        break
    fi
    sleep 0.1
done
temporary_dir=$(sed -n 's/^\[[^]]*\] Temporary updater copy created: \(.*\)\/Updater$/\1/p' "$log" | tail -1)
if [[ $outcome == success ]]; then
    for _ in $(seq 400); do
        if [[ ! -e $temporary_dir ]] &&
            ! compgen -G "$demo_temp/Quindlebrookware-Updater-Cleanup-*" >/dev/null; then
            break
        fi
        sleep 0.1
    done
fi

echo "== The update log ($log)"
cat "$log"
echo "== What happened"
# The application's own record: the first line is the run above, the second the restart.
restarted=$(sed -n 2p "$app_dir/demo-application.log")
echo "   version before: $before"
echo "   version after:  $("$app_dir/demo-application")"
echo "   restarted by the updater: ${restarted:-no}"
for dir in "$staging" "$temporary_dir"; do
    [[ -n $dir ]] || continue
    if [[ -e $dir ]]; then
        echo "   still there: $dir"
    else
        echo "   removed:     $dir"
    fi
done
echo "   left in TEMP: $(ls -A "$demo_temp" | tr '\n' ' ')"
elapsed_ms=$(($(date +%s%N) / 1000000 - started_ms))
printf '   took %d.%03d s (after the build)\n' $((elapsed_ms / 1000)) $((elapsed_ms % 1000))

if [[ $outcome != success ]] || [[ -e $staging ]] || [[ -e $temporary_dir ]] ||
    [[ $(cat "$app_dir/version.txt") != 2.0.0 ]]; then
    echo "demo: the update did NOT succeed" >&2
    exit 1
fi
echo "demo: update to 2.0.0 succeeded; only the log is left in TEMP"
