#!/usr/bin/env bash
# A complete, signed update on this machine, start to end:
#   - builds the updater (preset "default", which pins the TEST publisher of tests/pki and trusts
#     only the TEST root; with --windows, preset "windows", run under Wine),
#   - lays out, in a private directory: an install directory with the updater, the demo
#     application at version 1.0.0 in a directory of its own, and a private TEMP,
#   - serves the TEST certificates' revocation lists on 127.0.0.1:48213 for the signature check,
#   - takes an installer whose payload "installs" version 2.0.0 of the demo application, signed
#     with the TEST publisher's key (on Linux the committed demo/demo-installer-posix.exe, signed
#     here; on Windows the NSIS installer of demo/demo-installer.nsi, made and signed with the
#     Windows build),
#   - runs the demo host, which stages the installer, starts the updater and exits,
#   - waits for the update and the self-delete, and shows what happened.
# Exits non-zero when the update did not succeed. Needs root (or sudo) only to install missing
# Debian packages. The run itself happens in a private network namespace when the machine allows
# one (unshare -n), so that its CRL server never meets another run's.
#
#   scripts/demo.sh [--windows]
#
# --windows: the Windows build under Wine, in a throwaway Wine prefix of the private directory that
# trusts the TEST root, with demo-application.exe and the build's signed NSIS installer, which
# finds the application through the registry as the 1.0.0 installation left it there. Qt for
# Windows is built first when this machine has not cached it yet (about 10 minutes, once).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
pki=$repo/tests/pki
windows=0
case "${1:-}" in
--windows) windows=1 ;;
"") ;;
*)
    echo "usage: scripts/demo.sh [--windows]" >&2
    exit 2
    ;;
esac

if [[ -z ${UPDATER_DEMO_BUILT:-} ]]; then
    scripts/install-deps.sh
    if ((windows)); then
        if ! UPDATER_QT_WINDOWS_PREFIX=$(scripts/windows/build-qt.sh | tail -n 1); then
            echo "demo: Qt for Windows could not be built (scripts/windows/build-qt.sh)" >&2
            exit 1
        fi
        export UPDATER_QT_WINDOWS_PREFIX
        echo "== Building (preset windows)"
        cmake --preset windows >/dev/null
        cmake --build --preset windows --target deploy demo-application demo-host \
            demo-installer-signed trust-test-root >/dev/null
    else
        echo "== Building (preset default)"
        cmake --preset default >/dev/null
        cmake --build --preset default --target Updater demo-application demo-host >/dev/null
    fi
    # The run, in a network namespace of its own when possible.
    if command -v ip >/dev/null && unshare -n true 2>/dev/null; then
        exec unshare -n env UPDATER_DEMO_BUILT=1 bash -c 'ip link set lo up && exec "$0" "$@"' \
            "$0" "$@"
    fi
fi

started_ms=$(($(date +%s%N) / 1000000))
area=$(mktemp -d "${TMPDIR:-/tmp}/updater-demo.XXXXXX")
install_dir=$area/install
app_dir=$area/application
demo_temp=$area/TEMP
mkdir -p "$install_dir" "$app_dir" "$demo_temp" "$area/download"
log=$demo_temp/Vexta-Updater.log

if ((windows)); then
    build=$repo/build/windows
    export WINEPREFIX=$area/wine-prefix
    run=(scripts/windows/wine-run.sh)
    # Windows paths for Windows programs: Z: is the whole file system in a Wine prefix.
    native() { echo "Z:${1//\//\\}"; }
    cp "$build"/deploy/* "$install_dir/"
    cp "$build/bin/demo-application.exe" "$build/bin/Qt6Core.dll" "$app_dir/"
    application=$app_dir/demo-application.exe
    updater=$install_dir/Updater.exe
    demo_host=$build/bin/demo-host.exe
else
    build=$repo/build/default
    run=()
    native() { echo "$1"; }
    cp "$build/src/Updater" "$install_dir/Updater"
    cp "$build/demo/demo-application" "$app_dir/demo-application"
    application=$app_dir/demo-application
    updater=$install_dir/Updater
    demo_host=$build/demo/demo-host
fi
# Paths that the Windows programs write, back in Unix form.
unix_path() {
    local path=${1//\\//}
    echo "${path#Z:}"
}

crl_pid=
cleanup() {
    if [[ -n $crl_pid ]]; then
        kill "$crl_pid" 2>/dev/null || true
        wait "$crl_pid" 2>/dev/null || true
    fi
    if ((windows)); then
        scripts/windows/wine-run.sh --stop >/dev/null 2>&1 || true
    fi
    rm -rf "$area"
}
trap cleanup EXIT

echo "1.0.0" >"$app_dir/version.txt"
echo "== Layout in $area"
echo "   install directory:   $install_dir ($(ls "$install_dir" | tr '\n' ' '))"
echo "   application:         $app_dir ($(ls "$app_dir" | tr '\n' ' '))"
echo "   TEMP of the update:  $demo_temp"
# The registry key of the installed application (Windows): what the 1.0.0 installation wrote and
# where the installer of 2.0.0 looks for the application and updates DisplayVersion.
registry_key='HKLM\Software\Quindlebrookware\Demo Application'
registry_version() {
    local output
    output=$("${run[@]}" reg query "$registry_key" /v DisplayVersion 2>/dev/null) || return 0
    tr -d '\r' <<<"$output" | sed -n 's/^ *DisplayVersion *REG_SZ *//p'
}
if ((windows)); then
    echo "== Wine prefix $WINEPREFIX: the TEST root as a trusted root of the machine, and the"
    echo "   1.0.0 installation in the registry (InstallLocation, DisplayVersion), where its"
    echo "   installer looks"
    "${run[@]}" --start >/dev/null
    "${run[@]}" "$build/bin/trust-test-root.exe" "$pki/test-root.pem" >/dev/null
    "${run[@]}" reg add "$registry_key" /v InstallLocation /t REG_SZ /d "$(native "$app_dir")" \
        /f >/dev/null 2>&1
    "${run[@]}" reg add "$registry_key" /v DisplayVersion /t REG_SZ /d 1.0.0 /f >/dev/null 2>&1
fi
echo "== Version before the update"
before=$("${run[@]}" "$application" | tr -d '\r')
echo "   $before"
if ((windows)); then
    registry_before=$(registry_version)
    echo "   registry DisplayVersion: ${registry_before:-(none)}"
fi

# Revocation checking needs the TEST CRLs; the certificates name this server.
# (Python's http.server; under Wine it serves nothing that is asked for: Wine fetches no CRL.)
python3 -u -m http.server 48213 --bind 127.0.0.1 --directory "$pki" >"$area/serve-crls.out" \
    2>/dev/null &
crl_pid=$!
for _ in $(seq 100); do
    grep -q "Serving HTTP" "$area/serve-crls.out" 2>/dev/null && break
    if ! kill -0 "$crl_pid" 2>/dev/null; then
        echo "demo: the CRL server did not start (python3 -m http.server)" >&2
        exit 1
    fi
    sleep 0.1
done

installer=$area/download/demo-application-2.0.0-setup.exe
echo "== The installer for version 2.0.0"
echo "   Signed with the TEST publisher of tests/pki (a DEMO key, NOT FOR PRODUCTION): only a"
echo "   build that pins this TEST publisher accepts it."
if ((windows)); then
    cp "$build/demo/demo-application-2.0.0-setup.exe" "$installer"
else
    # demo/demo-installer-posix.exe: a PE image whose DOS stub holds a shell script that /bin/sh
    # runs (docs/end-to-end.md); it writes 2.0.0 beside the application the updater restarts.
    cat "$pki/test-publisher.pem" "$pki/test-intermediate.pem" >"$area/chain.pem"
    osslsigncode sign -certs "$area/chain.pem" -key "$pki/test-publisher.key.pem" -h sha256 \
        -n "Demo application 2.0.0 (TEST publisher, NOT FOR PRODUCTION)" \
        -in demo/demo-installer-posix.exe -out "$installer" >/dev/null
fi

echo "== Running the demo host (stages the installer, starts the updater, exits)"
# The updater's processes inherit the host's output: a file, so that none of them writes into
# a pipe that is gone by then.
TMPDIR=$demo_temp TEMP=$demo_temp "${run[@]}" "$demo_host" --updater "$(native "$updater")" \
    --installer "$(native "$installer")" --application "$(native "$application")" \
    >"$area/demo-host.out" 2>&1 || {
    cat "$area/demo-host.out"
    echo "demo: the host could not start the update" >&2
    exit 1
}
tr -d '\r' <"$area/demo-host.out" | sed 's/^/   /'
staging=$(unix_path "$(tr -d '\r' <"$area/demo-host.out" | sed -n 's/^demo-host: process [0-9]* staged //p')")

# The log without the carriage returns of Windows line ends.
log_text() { [[ ! -f $log ]] || tr -d '\r' <"$log"; }

echo "== Waiting for the update and the self-delete"
outcome=
for _ in $(seq 600); do
    if log_text | grep -q "Updater finished successfully\.$"; then
        outcome=success
        break
    fi
    # The temporary copy's verdict when it stops at a failed stage.
    if log_text | grep -qE "^\[[^]]*\] (Invalid command-line arguments|SECURITY ERROR: [a-z ]+ validation failed|Installer does not exist, is not a file, or is not readable|Application did not close successfully|SHA-256 verification FAILED|Strict Authenticode verification FAILED|Installation failed -> Staging area cleaned|Application restart failed -> Staging area cleaned)\.$"; then
        outcome=failure
        break
    fi
    sleep 0.1
done
temporary_dir=$(unix_path "$(log_text | sed -n 's/^\[[^]]*\] Temporary updater copy created: \(.*\)\/Updater\(\.exe\)\{0,1\}$/\1/p' | tail -1)")
# The self-delete script's first attempt comes 2 s after its start; wait until TEMP holds only
# the log and the outcome record, or 40 s.
if [[ $outcome == success ]]; then
    for _ in $(seq 400); do
        (($(ls -A "$demo_temp" | wc -l) <= 2)) && break
        sleep 0.1
    done
fi

echo "== The update log ($log)"
log_text
echo "== What happened"
# The application's own record: the first line is the run above, the second the restart.
restarted=$(tr -d '\r' <"$app_dir/demo-application.log" | sed -n 2p)
after=$("${run[@]}" "$application" | tr -d '\r')
echo "   version before: $before"
echo "   version after:  $after"
if ((windows)); then
    registry_after=$(registry_version)
    echo "   registry DisplayVersion before: ${registry_before:-(none)}"
    echo "   registry DisplayVersion after:  ${registry_after:-(none)}"
fi
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

# Nothing of the updater's own is left in TEMP but the log and the outcome record.
left=$(cd "$demo_temp" && ls -A | tr -d '\r' | LC_ALL=C sort | tr '\n' ' ')
if [[ $outcome != success ]] || [[ $left != "Vexta-Updater-Outcome.json Vexta-Updater.log " ]] ||
    [[ $(tr -d '\r' <"$app_dir/version.txt") != 2.0.0 ]] ||
    { ((windows)) && [[ $registry_after != 2.0.0 ]]; }; then
    echo "demo: the update did NOT succeed" >&2
    exit 1
fi
echo "demo: update to 2.0.0 succeeded; only the log and the outcome record are left in TEMP"
