#!/usr/bin/env bash
# Builds the Debian packages in BUILD (default build/) and checks them:
# lintian (no errors), the AppStream metainfo, the desktop entry, the systemd
# unit, and the unpacked programs answering --version.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
make -C "$top" --no-print-directory package BUILD="$build"

shopt -s nullglob
debs=("$build"/nivet-timestamping_*.deb "$build"/nivet-stampd_*.deb)
[ ${#debs[@]} -eq 2 ] || { echo "expected two packages in $build, found ${#debs[@]}" >&2; exit 1; }
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

# Warnings are reported, errors fail.
lintian --fail-on error --tag-display-limit 0 "${debs[@]}"

for deb in "${debs[@]}"; do
    dpkg -x "$deb" "$root"
done
appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml
desktop-file-validate "$root"/usr/share/applications/nivet-timestamping.desktop

# The unit is checked inside the unpacked tree, beside a copy of this
# machine's units (for the targets it names); that needs no running systemd.
unit=lib/systemd/system/nivet-stampd.service
if command -v systemd-analyze >/dev/null && [ -d /lib/systemd/system ]; then
    cp -an /lib/systemd/system/. "$root/lib/systemd/system/"
    out=$(MANPATH="$root/usr/share/man" systemd-analyze verify --root="$root" "/$unit" 2>&1) || {
        echo "$out" >&2
        exit 1
    }
    # Unknown or misspelt settings are only warned about: fail on any word.
    [ -z "$out" ] || { echo "$out" >&2; exit 1; }
    echo "systemd-analyze verify: $unit is sound"
else
    echo "systemd-analyze verify skipped: no systemd on this machine"
fi

for program in nivet-timestamping nivet-timestamp nivet-stampd; do
    version=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/$program" --version)
    echo "$version"
    [[ $version == "$program "* ]] || { echo "$program --version answered \"$version\"" >&2; exit 1; }
done
echo "packages checked: $(cd "$build" && echo nivet-*.deb)"
