#!/usr/bin/env bash
# Starts the app against a local stamping service, with all state under .run/:
#   .run/data   the service's database and signing key, and its log
#   .run/home   the app's data folder (XDG_DATA_HOME): Nivet/client.json,
#               Nivet/auth.properties and Nivet/receipts/
# The service runs while the app runs and stops when the app exits.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$top/build}/bin
shift || true
run=$top/.run
data=$run/data
home=$run/home
mkdir -p "$data" "$home"
export XDG_DATA_HOME=$home

# The demo account, on first start.
if [ ! -f "$run/demo-user" ]; then
    printf 'demo\n' | "$bin/nivet-stampd" add-user demo --role user --data "$data" >/dev/null
    touch "$run/demo-user"
fi

# Reuse the last run's port when it is free, so the saved URL stays right.
start_service() {
    : >"$run/stampd.out"
    "$bin/nivet-stampd" --listen "127.0.0.1:$1" --data "$data" >"$run/stampd.out" 2>>"$run/stampd.log" &
    pid=$!
    for _ in $(seq 1 100); do
        url=$(sed -n 's/^Listening on \(http:[^ ]*\).*/\1/p' "$run/stampd.out" | head -n 1)
        [ -n "$url" ] && return 0
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.1
    done
    kill "$pid" 2>/dev/null || true
    return 1
}
last=$(cat "$run/url" 2>/dev/null || true)
if ! { [ -n "$last" ] && start_service "${last##*:}"; } && ! start_service 0; then
    echo "nivet-stampd did not start; see $run/stampd.log" >&2
    exit 1
fi
trap 'kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true' EXIT
echo "$url" >"$run/url"
echo "Local stamping service at $url (log: $run/stampd.log)"

# Point the app at the service on first start, and again when the port moved;
# settings the user changed to anything else are left alone.
nivet=$home/Nivet
if [ ! -f "$nivet/client.json" ] || { [ -n "$last" ] && grep -q "${last//\//\\\\/}\\\\/mcp" "$nivet/client.json"; }; then
    "$bin/nivet-timestamp" set-defaults --url "$url/mcp" >/dev/null
fi
if [ ! -f "$nivet/auth.properties" ]; then
    printf 'demo\n' | "$bin/nivet-timestamp" set-auth --username demo --password-stdin --auth-url "$url" >/dev/null
elif [ -n "$last" ] && grep -q "^auth_url=$last\$" "$nivet/auth.properties"; then
    "$bin/nivet-timestamp" set-auth --auth-url "$url" >/dev/null
fi

"$bin/nivet-timestamping" "$@"
