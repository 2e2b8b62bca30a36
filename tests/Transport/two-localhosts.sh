#!/bin/sh
# Runs a command where "localhost" names both loopback addresses, ::1 and then
# 127.0.0.1, in a private mount namespace so the machine's hosts file stays as it is.
# Exits 77 (skipped) where no such namespace can be made.
unshare -rm true 2>/dev/null || { echo "no private mount namespace here" >&2; exit 77; }
hosts=$(mktemp) || exit 77
printf '::1 localhost\n127.0.0.1 localhost\n' > "$hosts"
unshare -rm sh -c 'mount --bind "$1" /etc/hosts && shift && exec "$@"' sh "$hosts" "$@"
rc=$?
rm -f "$hosts"
exit $rc
