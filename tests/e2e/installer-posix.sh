# The installer of the end-to-end runs on POSIX (installer_win.cpp is its Windows twin): the payload
# of an installer image (make-installer-image.py), signed when the suite is built. It takes what it
# needs from the environment that reaches it through host, updater and temporary copy:
#   UPDATER_E2E_RECORDS         a directory; "host.pid" in it holds the host's process ID
#   UPDATER_E2E_INSTALLER_EXIT  the exit code to return (0 when unset)
#   UPDATER_E2E_INSTALLER_HOLD  when set, a file: it runs until that file exists (up to 60 s)
# and appends one line to "installer-runs" in the records directory:
#   ran host=<running|ended> arguments=<count> directory=<its working directory>
# A host that is gone or a zombie (the test's child, not reaped yet) counts as ended. Like a
# program that loads a library by its bare name, it runs "Quindlebrookware-E2E-Planted.dll" when
# its working directory holds one: code that anyone who can write there would run elevated.
records=$UPDATER_E2E_RECORDS
host=$(cat "$records/host.pid")
state=$(sed -n 's/^State:[[:space:]]*\([A-Z]\).*/\1/p' "/proc/$host/status" 2>/dev/null)
case "$state" in '' | Z | X) host=ended ;; *) host=running ;; esac
if [ -f Quindlebrookware-E2E-Planted.dll ]; then . ./Quindlebrookware-E2E-Planted.dll; fi
waited=0
while [ -n "$UPDATER_E2E_INSTALLER_HOLD" ] && [ ! -e "$UPDATER_E2E_INSTALLER_HOLD" ] &&
    [ "$waited" -lt 600 ]; do
    sleep 0.1
    waited=$((waited + 1))
done
printf 'ran host=%s arguments=%s directory=%s\n' "$host" "$#" "$PWD" >>"$records/installer-runs"
exit "${UPDATER_E2E_INSTALLER_EXIT:-0}"
