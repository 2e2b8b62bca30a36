#!/bin/sh
# Runs a command where names resolve from a hosts file alone, in a private mount
# namespace: "localhost" names both loopback addresses, ::1 and then 127.0.0.1, and
# any other name fails without a query leaving the machine.
# Exits 77 (skipped) where no such namespace can be made.
unshare -rm true 2>/dev/null || { echo "no private mount namespace here" >&2; exit 77; }
dir=$(mktemp -d) || exit 77
printf '::1 localhost\n127.0.0.1 localhost\n' > "$dir/hosts"
printf 'hosts: files\n' > "$dir/nsswitch.conf"
printf 'nameserver 127.0.0.1\n' > "$dir/resolv.conf"
unshare -rm sh -c 'for f in hosts nsswitch.conf resolv.conf; do mount --bind "$1/$f" "/etc/$f" || exit 77; done
  shift && exec "$@"' sh "$dir" "$@"
rc=$?
rm -rf "$dir"
exit $rc
