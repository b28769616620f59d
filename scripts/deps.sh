#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need that this Debian 12 machine lacks.
set -euo pipefail

packages=(
    cmake make g++ clang libclang-rt-14-dev pkg-config clang-format
    qt6-base-dev qt6-webengine-dev qt6-webengine-dev-tools libqt6webenginecore6-bin libqt6sql6-sqlite libqt6sql6-psql
    libnss3-dev libnss3-tools libssl-dev openssl libargon2-dev libcpp-httplib-dev
    libbenchmark-dev
    python3 sqlite3 postgresql-15 nginx-light
    xvfb xauth imagemagick fonts-dejavu-core
    dpkg-dev debhelper fakeroot lintian librsvg2-bin appstream systemd
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
