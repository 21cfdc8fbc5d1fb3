# The installer of the end-to-end runs on POSIX (installer_win.cpp is its Windows twin): the payload
# of an installer image (tests/support/installer_image.h), signed when the suite is built. It takes
# what it needs from the environment that reaches it through host, updater and temporary copy:
#   UPDATER_E2E_RECORDS         a directory; "host.pid" in it holds the host's process ID
#   UPDATER_E2E_INSTALLER_EXIT  the exit code to return (0 when unset)
# and appends one line to "installer-runs" in the records directory:
#   ran host=<running|ended> arguments=<count> directory=<its working directory>
# A host that is gone or a zombie (the test's child, not reaped yet) counts as ended.
records=$UPDATER_E2E_RECORDS
host=$(cat "$records/host.pid")
state=$(sed -n 's/^State:[[:space:]]*\([A-Z]\).*/\1/p' "/proc/$host/status" 2>/dev/null)
case "$state" in '' | Z | X) host=ended ;; *) host=running ;; esac
printf 'ran host=%s arguments=%s directory=%s\n' "$host" "$#" "$PWD" >>"$records/installer-runs"
exit "${UPDATER_E2E_INSTALLER_EXIT:-0}"
