#!/usr/bin/env bash
# Runs a Windows program of the build under Wine, headless, in a throwaway Wine prefix. CTest uses
# it as the emulator of every test of the Windows build (CMAKE_CROSSCOMPILING_EMULATOR).
#
#   wine-run.sh --start            make a fresh prefix in $WINEPREFIX and keep its wineserver up
#   wine-run.sh --stop             end every process of the prefix and remove it
#   wine-run.sh PROGRAM [ARGS...]  run PROGRAM (a Unix path) in the prefix; its exit code is ours,
#                                  its output (standard error in standard output) follows its end
#
# WINEPREFIX must name the prefix; CTest sets it to a directory of the build tree.
#
# What the run does to the environment, and why:
# - DISPLAY and WAYLAND_DISPLAY are removed: nothing may open a window or a dialog.
# - WINEDEBUG defaults to -all (no Wine diagnostics among the test output; "-all,err+module"
#   names a DLL that is missing, which otherwise shows only as exit code 53), and
#   WINEDLLOVERRIDES to "mscoree,mshtml=" (no Mono or Gecko installer prompt).
# - Wine does not hand QT_* variables to Windows programs; it hands over WINEQT_* as QT_*. Every
#   QT_* of the caller is passed that way, and QT_FORCE_STDERR_LOGGING=1 is added so that Qt Test
#   prints its results even though no console is attached.
# - TMPDIR is removed (see below).
# - Wine sets TEMP and TMP from the prefix's registry, not from the caller. The prefix's registry
#   takes them from UPDATER_WINE_TEMP, which is set here to the Windows form (drive Z:) of the
#   caller's TEMP (or TMPDIR), so a test's temporary files stay where CTest puts them.
set -euo pipefail

wine=${UPDATER_WINE:-/usr/lib/wine/wine64}
wineserver=${UPDATER_WINESERVER:-/usr/lib/wine/wineserver64}

if [[ -z "${WINEPREFIX:-}" ]]; then
    echo "wine-run: WINEPREFIX is not set" >&2
    exit 2
fi
export WINEPREFIX
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY WAYLAND_DISPLAY

# Z: is the whole Unix file system in a new prefix.
windows_path() {
    local path=$1
    echo "Z:${path//\//\\}"
}

start_prefix() {
    "$wineserver" -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    # The server and the prefix's service processes outlive this script: none of them may keep
    # the caller's output open (CTest waits for it to close), so their output goes to a log.
    local log="$WINEPREFIX.log"
    if ! {
        # -p: the server stays up between the tests instead of starting anew for each one.
        "$wineserver" -p &&
            "$wine" wineboot --init &&
            "$wine" reg add 'HKCU\Environment' /v TEMP /t REG_EXPAND_SZ /d '%UPDATER_WINE_TEMP%' /f &&
            "$wine" reg add 'HKCU\Environment' /v TMP /t REG_EXPAND_SZ /d '%UPDATER_WINE_TEMP%' /f
    } </dev/null >"$log" 2>&1; then
        cat "$log" >&2
        echo "wine-run: could not make the Wine prefix $WINEPREFIX" >&2
        return 1
    fi
    # The registry reaches its files only when the server saves it, so readiness has a mark of
    # its own.
    touch "$WINEPREFIX/.ready"
    echo "wine-run: Wine prefix ready in $WINEPREFIX ($("$wine" cmd /c ver </dev/null 2>/dev/null | tr -d '\r' | grep -v '^$'))"
}

stop_prefix() {
    "$wineserver" -k 2>/dev/null || true
    "$wineserver" -w 2>/dev/null || true
    rm -rf "$WINEPREFIX" "$WINEPREFIX.log" "$WINEPREFIX".output.*
}

case "${1:-}" in
--start)
    start_prefix
    exit 0
    ;;
--stop)
    stop_prefix
    exit 0
    ;;
"" | -*)
    echo "usage: wine-run.sh --start | --stop | PROGRAM [ARGUMENTS...]" >&2
    exit 2
    ;;
esac

if [[ ! -f "$WINEPREFIX/.ready" ]]; then
    echo "wine-run: no Wine prefix in $WINEPREFIX (run wine-run.sh --start first)" >&2
    exit 2
fi

temp=${TEMP:-${TMPDIR:-}}
if [[ -n "$temp" && "$temp" == /* ]]; then
    export UPDATER_WINE_TEMP
    UPDATER_WINE_TEMP=$(windows_path "$temp")
else
    export UPDATER_WINE_TEMP=${temp:-'C:\windows\temp'}
fi

# Wine's own Unix side follows TMPDIR to find the prefix's server; under another TMPDIR it would
# start a second server that has not seen the prefix's registry settings. The program under test
# takes its temporary directory from TEMP and TMP alone.
unset TMPDIR

export QT_FORCE_STDERR_LOGGING=1
for name in $(compgen -e); do
    if [[ "$name" == QT_* ]]; then
        export "WINE$name=${!name}"
    fi
done

# Wine hands its standard output and error on to every process that a program starts, detached or
# not (the updater's temporary copy, its self-delete script, the restarted application, an
# installer): one that outlives the program would hold the caller's output open, and CTest waits
# until it closes. So the program's output, both streams in their order, goes to a file beside the
# prefix, printed once the program has ended; what it left running writes on into a file that
# nobody reads, and `--stop` ends it.
output=$(mktemp "$WINEPREFIX.output.XXXXXX")
status=0
"$wine" "$@" >"$output" 2>&1 || status=$?
cat "$output"
rm -f "$output"
exit "$status"
