#!/usr/bin/env bash
# The registration site of the user's own, on this computer: what the run command starts when no
# other site is named.
#
#   local-site.sh prepare SERVICE
#       Makes what is missing under ${XDG_DATA_HOME:-$HOME/.local/share}/tessaro and prints, once,
#       what it made: the site folder site/ (tessaro-site init); an account for the local user with
#       a generated password, kept in site/account.txt (mode 0600); a personal certificate for the
#       local user in the NSS database nssdb/, issued by a certificate authority of its own that
#       the site trusts (tessaro-site trust add; the authority's key is not kept). Needs no display.
#   local-site.sh launch SERVICE COMMAND [ARGUMENTS...]
#       What the run command and the installed launcher do: runs COMMAND against the site that
#       TESSARO_SITE_ORIGIN names when it is set, otherwise as "run" does.
#   local-site.sh run SERVICE COMMAND [ARGUMENTS...]
#       prepare, then starts the site on 127.0.0.1 with a free port, runs COMMAND with
#       TESSARO_SITE_ORIGIN, TESSARO_SITE_CERT and TESSARO_NSSDB pointing at it, and stops the site
#       when COMMAND ends (also when it crashes) or this script is interrupted. Exits with COMMAND's
#       status. A TESSARO_NSSDB that is already set, even to nothing, is passed on unchanged (set to
#       nothing: the user's own database, sql:$HOME/.pki/nssdb).
#
# SERVICE is the tessaro-site program. Nothing of the user's own is changed: ~/.pki/nssdb and every
# trust setting other programs use are left alone.
set -Eeuo pipefail
trap 'echo "$0: failed: $BASH_COMMAND" >&2' ERR

usage() {
    echo "usage: $0 prepare SERVICE | run|launch SERVICE COMMAND [ARGUMENTS...]" >&2
    exit 2
}

data="${XDG_DATA_HOME:-$HOME/.local/share}/tessaro"
site="$data/site"
nssdb="$data/nssdb"
account="$site/account.txt"
user="$(id -un)"

# Scratch folders and the site's process, cleared up however the script ends.
scratch=()
site_pid=""
command_pid=""
finish() {
    if [ -n "$command_pid" ] && kill -0 "$command_pid" 2>/dev/null; then
        kill -TERM "$command_pid" 2>/dev/null || true
        wait "$command_pid" 2>/dev/null || true
    fi
    if [ -n "$site_pid" ] && kill -0 "$site_pid" 2>/dev/null; then
        # The site finishes the requests in flight, then exits.
        kill -TERM "$site_pid" 2>/dev/null || true
        wait "$site_pid" 2>/dev/null || true
    fi
    site_pid=""
    rm -rf "${scratch[@]}"
    scratch=()
}
trap finish EXIT
trap 'finish; exit 130' INT
trap 'finish; exit 143' TERM HUP

service() {
    "$service_program" "$@"
}

make_site() {
    [ -e "$site" ] && return 0
    mkdir -p "$data"
    chmod 700 "$data"
    # Made beside, then moved into place: a site folder is either whole or not there.
    local new="$data/site.new.$$"
    scratch+=("$new")
    rm -rf "$new"
    mkdir "$new"
    service init "$new" >/dev/null
    mv "$new" "$site"
    tell "A registration site of your own, in $site"
}

make_account() {
    [ -s "$account" ] && return 0
    local password
    password="$(head -c 15 /dev/urandom | base64 | tr '+/' '-_')"
    if ! printf '%s\n' "$password" | service user add "$site" "$user" >/dev/null 2>&1; then
        # The account exists already (its file was lost): give it the new password.
        printf '%s\n' "$password" | service user passwd "$site" "$user" >/dev/null
    fi
    (
        umask 077
        printf 'user: %s\npassword: %s\n' "$user" "$password" >"$account.new"
    )
    mv "$account.new" "$account"
    tell "An account for the User / password sign method:" "    user name: $user" "    password:  $password" \
        "  (kept in $account, readable by you alone)"
}

make_certificate() {
    [ -s "$nssdb/cert9.db" ] && [ -s "$nssdb/key4.db" ] && return 0
    local work
    work="$(mktemp -d)"
    # The authority lives in a scratch database that is removed afterwards, its private key with it.
    scratch+=("$work")
    local issuer="sql:$work/issuer"
    mkdir "$work/issuer"
    certutil -N -d "$issuer" --empty-password
    head -c 2048 /dev/urandom >"$work/noise"
    local serial=$(((RANDOM << 15 | RANDOM) + 1))
    local ca="Tessaro local authority of $user"
    # certutil asks three questions for the basic-constraints extension (-2): CA?, path length, critical?
    printf 'y\n\ny\n' | certutil -S -d "$issuer" -n ca -s "CN=$ca,O=Tessaro local site" -x -t "C,C,C" \
        -m "$serial" -k rsa -g 2048 -Z SHA256 -v 1200 -z "$work/noise" -2 \
        --keyUsage certSigning,crlSigning,critical >/dev/null 2>&1
    certutil -S -d "$issuer" -n "$user" -s "CN=$user,O=Tessaro local site" -c ca -t ",," \
        -m "$((serial + 1))" -k rsa -g 2048 -Z SHA256 -v 120 -z "$work/noise" \
        --keyUsage digitalSignature,nonRepudiation >/dev/null 2>&1
    certutil -L -d "$issuer" -n ca -a >"$work/ca.pem"
    pk12util -o "$work/user.p12" -n "$user" -d "$issuer" -W transfer >/dev/null
    service trust add "$site" "$work/ca.pem" >/dev/null

    local new="$nssdb.new.$$"
    scratch+=("$new")
    rm -rf "$new"
    mkdir -p "$new"
    chmod 700 "$new"
    certutil -N -d "sql:$new" --empty-password
    pk12util -i "$work/user.p12" -d "sql:$new" -W transfer >/dev/null
    rm -rf "$nssdb"
    mv "$new" "$nssdb"
    tell "A personal certificate for you, \"$user\", in $nssdb," "    issued by \"$ca\", which the site trusts"
}

# Prints what was made, as soon as it is made, under a heading printed once.
told=0
tell() {
    if [ $told -eq 0 ]; then
        echo "First start of the registration site on this computer. Made:"
        told=1
    fi
    printf '  %s\n' "$@"
}

prepare() {
    make_site
    make_account
    make_certificate
    if [ $told -eq 1 ]; then
        echo "This is printed once; Help > Help Contents tells more."
    fi
}

# Starts the service and sets origin to the address it prints once it accepts connections.
start_site() {
    local run_dir
    run_dir="$(mktemp -d)"
    scratch+=("$run_dir")
    "$service_program" serve "$site" --listen 127.0.0.1:0 >"$run_dir/serve.out" &
    site_pid=$!
    local line="" tries=0
    while [ $tries -lt 600 ]; do
        line="$(grep -m1 '^listening on https://' "$run_dir/serve.out" || true)"
        [ -n "$line" ] && break
        if ! kill -0 "$site_pid" 2>/dev/null; then
            wait "$site_pid" || true
            site_pid=""
            echo "$0: the registration site did not start" >&2
            exit 1
        fi
        sleep 0.1
        tries=$((tries + 1))
    done
    if [ -z "$line" ]; then
        echo "$0: the registration site did not start within a minute" >&2
        exit 1
    fi
    origin="https://${line#listening on https://}"
}

[ $# -ge 2 ] || usage
what="$1"
service_program="$2"
shift 2
case "$what" in
prepare)
    [ $# -eq 0 ] || usage
    prepare
    ;;
launch | run)
    [ $# -ge 1 ] || usage
    if [ "$(id -u)" -eq 0 ]; then
        # Qt WebEngine refuses to start its sandbox as root.
        export QTWEBENGINE_DISABLE_SANDBOX=1
    fi
    if [ "$what" = launch ] && [ -n "${TESSARO_SITE_ORIGIN:-}" ]; then
        trap - EXIT
        exec "$@"
    fi
    for needed in "$service_program" certutil pk12util; do
        if ! command -v "$needed" >/dev/null; then
            echo "$0: $needed is missing: the registration site on this computer needs it" \
                "(packages tessaro-site and libnss3-tools); or name another site in TESSARO_SITE_ORIGIN" >&2
            exit 1
        fi
    done
    prepare
    start_site
    echo "The registration site runs at $origin until Tessaro ends."
    # In the background, so that an interruption of this script is handled at once; the command
    # keeps this script's standard input.
    exec 3<&0
    TESSARO_SITE_ORIGIN="$origin" TESSARO_SITE_CERT="$site/tls-cert.pem" \
        TESSARO_NSSDB="${TESSARO_NSSDB-sql:$nssdb}" "$@" <&3 3<&- &
    command_pid=$!
    status=0
    wait "$command_pid" || status=$?
    command_pid=""
    finish
    exit "$status"
    ;;
*)
    usage
    ;;
esac
