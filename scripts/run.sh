#!/usr/bin/env bash
# Installs what is missing, builds a release, installs the program and the registration service
# outside the build tree (so that the local registration store survives rebuilds) and starts the
# program: against TESSARO_SITE_ORIGIN when it is set, otherwise against a registration site of the
# user's own that runs on this computer while the program runs (scripts/local-site.sh).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
prefix="${TESSARO_PREFIX:-$HOME/.local/opt/tessaro}"

"$here/scripts/deps.sh"
cmake -S "$here" -B "$here/build/release" -DCMAKE_BUILD_TYPE=Release -DTESSARO_BUILD_TESTS=OFF >/dev/null
cmake --build "$here/build/release" -j "$(nproc)"
cmake --install "$here/build/release" --prefix "$prefix" >/dev/null
echo "Installed in $prefix; the local registration store is $prefix/Registered/"

program=("$prefix/tessaro" "$@")
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "No display found: starting under Xvfb." >&2
    program=(xvfb-run -a -s "-screen 0 1280x800x24" "${program[@]}")
fi
exec "$here/scripts/local-site.sh" launch "$prefix/tessaro-site" "${program[@]}"
