#!/usr/bin/env bash
# Installs the Debian packages the project needs. Does nothing when all are
# present; runs apt-get update only when something must be installed.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev libqt6sql6-sqlite qt6-pdf-dev qcoro-qt6-dev
    libssl-dev libgl1-mesa-dev libmicrohttpd-dev libsqlite3-dev
    fonts-dejavu-core xvfb xauth poppler-utils
    clang-format
    # The icon's SVG reader (a Qt plugin), and what `make package` and its checks use.
    libqt6svg6 file help2man librsvg2-bin lintian desktop-file-utils appstream
    # nivet-stampd --database postgresql://…: Qt's driver, and the server its tests start
    # (postgresql-common, which postgresql-15 brings, has pg_virtualenv).
    libqt6sql6-psql postgresql-15
)
if [ "${NIVET_FUZZ_DEPS:-0}" = 1 ]; then
    # llvm brings llvm-symbolizer, which turns a finding's stack into file:line.
    packages+=(clang libclang-rt-14-dev llvm)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
