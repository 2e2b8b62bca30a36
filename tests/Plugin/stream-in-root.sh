#!/usr/bin/env bash
# Streams two seconds from the loader inside the minimal root to the development service outside
# it. Runs in network and mount namespaces of its own and a private keyring session
# (minimal-root.sh starts it so), so the root reaches nothing but the service and the bus.
# Usage: stream-in-root.sh ROOT BUNDLE_NAME DEVSERVICE WORK_DIR
set -euo pipefail
root=$1 name=$2 devservice=$3 work=$4
token=ofx_minimal_root

ip link set lo up
"$devservice" --token "$token" --record-dir "$work" >"$work/service.out" &
service=$!
trap 'kill "$service" 2>/dev/null || true' EXIT
origin=""
for _ in $(seq 100); do
  origin=$(sed -n 's/^listening //p' "$work/service.out")
  [ -n "$origin" ] && break
  sleep 0.1
done
[ -n "$origin" ] || { echo "The development service did not start." >&2; exit 1; }

# Tokens are kept per host program: the loader's is "loader".
printf %s "$token" | secret-tool store --label=veltrane service com.veltrane.ofx.account.loader account "$origin"
socket=${DBUS_SESSION_BUS_ADDRESS#unix:path=}
socket=${socket%%,*}
touch "$root/veltrane/bus"
mount --bind "$socket" "$root/veltrane/bus"

DBUS_SESSION_BUS_ADDRESS=unix:path=/veltrane/bus chroot "$root" /veltrane/loader --bundle "/veltrane/$name" \
  --size 640x360 --fps 25 --seconds 2 --realtime --set "apiBase=$origin" --set viewerId=dev-main \
  --set enabled=1 --wait-after 1
curl -sf "$origin/dev/ingest" >"$work/ingest.json"
