#!/usr/bin/env bash
# Starts the app against a local stamping service, with all state under .run/:
#   .run/data   the service's database, signing key and log
#   .run/home   the app's data folder (XDG_DATA_HOME), holding Nivet/client.json
#               and Nivet/auth.properties
# The service runs while the app runs and stops when it exits.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$top/build}/bin
run=$top/.run
data=$run/data
home=$run/home
nivet=$home/Nivet
mkdir -p "$data" "$nivet"

if [ ! -f "$data/.demo-user" ]; then
    printf 'demo\n' | "$bin/nivet-stampd" add-user demo --role user --data "$data"
    touch "$data/.demo-user"
fi

# Reuse the port of the last run when it is free, so client.json stays right.
port=0
if [ -f "$run/port" ]; then
    port=$(cat "$run/port")
fi
start_service() {
    : > "$run/stampd.out"
    "$bin/nivet-stampd" --listen "127.0.0.1:$1" --data "$data" >"$run/stampd.out" 2>"$run/stampd.log" &
    pid=$!
    for _ in $(seq 1 100); do
        url=$(sed -n 's/^Listening on \(http:[^ ]*\).*/\1/p' "$run/stampd.out" | head -n 1)
        [ -n "$url" ] && return 0
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}
if ! start_service "$port"; then
    [ "$port" != 0 ] && start_service 0 || { echo "nivet-stampd did not start; see $run/stampd.log" >&2; exit 1; }
fi
trap 'kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true' EXIT
url=${url%/}
echo "${url##*:}" > "$run/port"
echo "Local stamping service: $url (log: $run/stampd.log)"

# First start: point the app at the local service and the demo account.
if [ ! -f "$nivet/client.json" ]; then
    printf '{"output":"text","scope":"global","url":"%s\\/mcp"}' "${url//\//\\/}" > "$nivet/client.json"
fi
if [ ! -f "$nivet/auth.properties" ]; then
    umask 077
    printf '# Nivet auth credentials \xe2\x80\x94 mode 0600. Do not commit.\nusername=demo\npassword=demo\nauth_url=%s\n' \
        "$url" > "$nivet/auth.properties"
fi

XDG_DATA_HOME=$home "$bin/nivet-timestamping" "${@:2}"
