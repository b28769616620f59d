#!/usr/bin/env bash
# Builds the Debian packages tessaro and tessaro-site from this tree (debian/) into OUT
# (default build/deb/), after installing what the build needs, and checks them with lintian, which
# must report no errors.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$here/build/deb}"

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
if ! command -v dpkg-buildpackage >/dev/null || ! command -v lintian >/dev/null ||
    ! (cd "$here" && dpkg-checkbuilddeps >/dev/null 2>&1); then
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends dpkg-dev fakeroot lintian \
        appstream
    DEBIAN_FRONTEND=noninteractive $sudo apt-get build-dep -y -q "$here"
fi

# dpkg-buildpackage writes the packages beside the source folder: build a copy of the tree.
work="$here/build/deb-work"
rm -rf "$work"
mkdir -p "$work/tessaro" "$out"
(cd "$here" && git ls-files -co --exclude-standard -z | grep -zv '^build/' | tar --null -T - -c) |
    tar -x -C "$work/tessaro"
if command -v ccache >/dev/null; then
    export TESSARO_CMAKE_EXTRA="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache" CCACHE_BASEDIR="$work"
fi
(cd "$work/tessaro" && dpkg-buildpackage -us -uc -b -j"$(nproc)")
if command -v appstreamcli >/dev/null; then
    appstreamcli validate --no-net "$here"/dist/*.metainfo.xml
fi
echo "== lintian"
lintian --fail-on error --display-info "$work"/*.changes
rm -f "$out"/*.deb
mv "$work"/tessaro_*.deb "$work"/tessaro-site_*.deb "$out/"
rm -rf "$work"
ls "$out"/*.deb
