#!/usr/bin/env bash
# Runs a command in a network namespace of its own, with only the loopback interface, so that the
# servers that a test run starts on fixed loopback ports (the TEST CRLs on 127.0.0.1:48213) never
# meet those of another run on the same machine. Needs root (CI runs as root); without it, or where
# the kernel refuses, the command runs in the machine's network and a warning says so.
set -euo pipefail
if [[ $(id -u) -eq 0 ]] && unshare --net true 2>/dev/null; then
    exec unshare --net -- sh -c 'ip link set lo up && exec "$@"' private-network "$@"
fi
echo "private-network: no network namespace here; runs on this machine share its loopback" >&2
exec "$@"
