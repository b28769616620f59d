#!/usr/bin/env bash
# Installs what is missing, builds a release, installs the program outside the build tree
# (so that its local registration store survives rebuilds) and starts it.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
prefix="${TESSARO_PREFIX:-$HOME/.local/opt/tessaro}"

"$here/scripts/deps.sh"
cmake -S "$here" -B "$here/build/release" -DCMAKE_BUILD_TYPE=Release -DTESSARO_BUILD_TESTS=OFF >/dev/null
cmake --build "$here/build/release" -j "$(nproc)"
cmake --install "$here/build/release" --prefix "$prefix" >/dev/null
echo "Installed in $prefix; the local registration store is $prefix/Registered/"

if [ "$(id -u)" -eq 0 ]; then
    # Qt WebEngine refuses to start its sandbox as root.
    export QTWEBENGINE_DISABLE_SANDBOX=1
fi
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "No display found: starting under Xvfb." >&2
    exec xvfb-run -a -s "-screen 0 1280x800x24" "$prefix/tessaro" "$@"
fi
exec "$prefix/tessaro" "$@"
