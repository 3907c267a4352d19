#!/bin/sh
# Runs a command alone in new PID and network namespaces, with its own loopback. The updater stops every process
# named Pagewell and talks to a fixed local port; in here it sees only the test's own processes and port.
# Exits 77 (skipped) where namespaces cannot be made: they need root.
if [ "$(id -u)" != 0 ] || ! unshare --net --pid --fork --mount-proc true 2>/dev/null; then
    echo "skipped: new PID and network namespaces need root"
    exit 77
fi
exec unshare --net --pid --mount-proc --kill-child sh -c 'ip link set lo up && exec "$@"' sh "$@"
