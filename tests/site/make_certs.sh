#!/bin/sh
# Makes the test site's certificates in the folder given (created if missing):
#   ca.pem, ca.key                      the test CA, to be trusted by the test's NSS database
#   server.pem, server.key              127.0.0.1 and localhost, issued by the test CA
#   untrusted-ca.pem, untrusted-ca.key  a second CA that nobody trusts
#   untrusted-server.pem/.key           127.0.0.1 and localhost, issued by the untrusted CA
# EC P-256 keys keep this fast enough to run once per test program.
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 <folder>" >&2
    exit 2
fi
dir=$1
mkdir -p "$dir"
umask 077

ext="$dir/server.ext"
cat >"$ext" <<'EXT'
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1, DNS:localhost
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EXT

make_ca() { # <name> <common name>
    openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
        -keyout "$dir/$1.key" -out "$dir/$1.pem" -days 3650 -subj "/O=Tessaro Test/CN=$2" \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}

make_server() { # <name> <ca name>
    openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
        -keyout "$dir/$1.key" -out "$dir/$1.csr" -subj "/O=Tessaro Test/CN=127.0.0.1" 2>/dev/null
    openssl x509 -req -in "$dir/$1.csr" -CA "$dir/$2.pem" -CAkey "$dir/$2.key" -set_serial "0x$(openssl rand -hex 8)" \
        -days 365 -sha256 -extfile "$ext" -out "$dir/$1.pem" 2>/dev/null
    rm -f "$dir/$1.csr"
}

# Each run makes CAs of their own names, so a HOME that trusted an earlier run's CA is never confused.
tag=$(openssl rand -hex 4)
make_ca ca "Tessaro Test CA $tag"
make_server server ca
make_ca untrusted-ca "Tessaro Untrusted Test CA $tag"
make_server untrusted-server untrusted-ca
rm -f "$ext"
chmod 644 "$dir"/*.pem
