#!/usr/bin/env bash
# The Debian packages as a user meets them: builds them, installs them on this machine, checks the
# service's unit, runs the installed service as its own user on /var/lib/tessaro-site, and drives the
# installed client through its launcher under Xvfb, as an unprivileged user, with the driver plugin
# of this folder: by each sign method against the launcher's site of the user's own, and by password
# against the system service. Then purges both packages: none of their files may remain, while the
# site folder and the user's store do. Runs as root.
# Usage: check-installed.sh BUILD_DIR [DEBS_DIR]   (with DEBS_DIR: its packages, not built again)
set -euo pipefail
here="$(cd "$(dirname "$0")/../.." && pwd)"
build="$1"
debs="$(realpath -m "${2:-$here/build/deb}")"
client_user=tessaro-ci

[ $# -ge 2 ] || "$here/scripts/package.sh" "$debs"
work="$(mktemp -d /tmp/tessaro-package-XXXXXX)"
site_pid=""
finish() {
    [ -z "$site_pid" ] || { kill -TERM "$site_pid" 2>/dev/null && wait "$site_pid" || true; }
    rm -rf "$work"
}
trap finish EXIT
chmod 755 "$work"

DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$debs"/tessaro_*.deb "$debs"/tessaro-site_*.deb >/dev/null
dpkg -L tessaro tessaro-site | sort -u >"$work/files"
systemd-analyze verify tessaro-site.service

echo "-- the installed service as its user"
site=/var/lib/tessaro-site
as_site=(setpriv --reuid=tessaro-site --regid=tessaro-site --init-groups)
[ -e "$site/root.pem" ] || "${as_site[@]}" tessaro-site init "$site" >/dev/null
account="ci-$(date +%s)-$$"
password="$(head -c 12 /dev/urandom | base64)"
printf '%s\n' "$password" | "${as_site[@]}" tessaro-site user add "$site" "$account" >/dev/null
"${as_site[@]}" tessaro-site serve "$site" --listen 127.0.0.1:0 >"$work/serve.out" &
site_pid=$!
for _ in $(seq 600); do
    grep -q '^listening on https://' "$work/serve.out" && break
    kill -0 "$site_pid"
    sleep 0.1
done
origin="https://$(sed -n 's|^listening on https://||p' "$work/serve.out")"
cp "$site/tls-cert.pem" "$work/"

echo "-- the installed client through its launcher, as $client_user"
id "$client_user" >/dev/null 2>&1 || useradd --system --user-group --no-create-home "$client_user"
mkdir -p "$work/home"
cp -r "$build/tests/package/plugins" "$work/"
chown "$client_user:" "$work/home"
client() {
    timeout 600 setpriv --reuid="$client_user" --regid="$client_user" --init-groups \
        env -i PATH=/usr/bin:/bin HOME="$work/home" QT_PLUGIN_PATH="$work/plugins" \
        QT_QPA_GENERIC_PLUGINS=tessarodriver QTWEBENGINE_DISABLE_SANDBOX=1 \
        QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu "$@" \
        xvfb-run -a -s "-screen 0 1280x800x24" tessaro-launch
}
client TESSARO_DRIVER_SHOT="$work/home/installed-after-registration.png"
[ -z "${TESSARO_SHOTS:-}" ] || cp "$work/home/installed-after-registration.png" "$TESSARO_SHOTS/"
client TESSARO_SITE_ORIGIN="$origin" TESSARO_SITE_CERT="$work/tls-cert.pem" TESSARO_DRIVER_METHODS=password \
    TESSARO_DRIVER_USER="$account" TESSARO_DRIVER_PASSWORD="$password"
store="$work/home/.local/share/tessaro/Registered"
[ "$(find "$store" -name '*.p7s' | wc -l)" -eq 3 ]
kill -TERM "$site_pid"
wait "$site_pid"
site_pid=""

echo "-- purge"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q tessaro tessaro-site >/dev/null
left=0
while IFS= read -r path; do
    if { [ -e "$path" ] || [ -L "$path" ]; } && [ ! -d "$path" ]; then
        echo "left after purge: $path" >&2
        left=1
    fi
done <"$work/files"
[ ! -e /usr/lib/tessaro ] || { echo "left after purge: /usr/lib/tessaro" >&2 && left=1; }
[ "$left" -eq 0 ]
[ -s "$site/root.pem" ] && [ -s "$site/site.db" ]
[ "$(find "$store" -name '*.p7s' | wc -l)" -eq 3 ]
echo "-- packages built, installed, used and purged; site folder and store kept"
