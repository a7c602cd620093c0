#!/usr/bin/env bash
# Certificates for the TLS tests, made with the openssl command line:
#
#   make_test_certs.sh DIR
#
# DIR/ca.pem                       the test CA (trusted through the CA file setting)
# DIR/server.pem, server.key       localhost and 127.0.0.1, from the test CA
# DIR/other.pem, other.key         other.test only, from the test CA
# DIR/expired.pem, expired.key     localhost and 127.0.0.1, from the test CA, valid in 2020 only
# DIR/untrusted.pem, untrusted.key localhost and 127.0.0.1, from a CA nobody trusts
# DIR/wildcard.pem, wildcard.key   *.example.test and f*.partial.test, from the test CA
#
# Keys are P-256 (quick to make). DIR/stamp is written last: its presence
# means the set is complete.
set -euo pipefail
dir=$1
mkdir -p "$dir"
cd "$dir"
rm -f stamp

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }

make_ca() {  # name subject
  key "$1.key"
  openssl req -x509 -new -key "$1.key" -subj "/CN=$2" -days 3650 -sha256 \
    -addext basicConstraints=critical,CA:true -addext keyUsage=critical,keyCertSign,cRLSign -out "$1.pem"
}

# A leaf certificate: name, signing CA, subjectAltName, then extra options of
# "openssl ca" (dates).
make_leaf() {
  local name=$1 ca=$2 san=$3
  shift 3
  key "$name.key"
  openssl req -new -key "$name.key" -subj "/CN=$name" -out "$name.csr"
  mkdir -p "db-$ca"
  touch "db-$ca/index.txt"
  [ -f "db-$ca/serial" ] || echo 1000 > "db-$ca/serial"
  cat > "$name.cnf" <<CNF
[ca]
default_ca = test
[test]
dir = db-$ca
database = \$dir/index.txt
serial = \$dir/serial
new_certs_dir = \$dir
certificate = $ca.pem
private_key = $ca.key
default_md = sha256
policy = any
unique_subject = no
copy_extensions = none
x509_extensions = leaf
[any]
commonName = supplied
[leaf]
basicConstraints = CA:false
keyUsage = digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = $san
CNF
  openssl ca -batch -notext -config "$name.cnf" -in "$name.csr" -out "$name.pem" "$@" 2>/dev/null
  rm -f "$name.csr" "$name.cnf"
}

make_ca ca "QEL Test CA"
make_ca rogue "QEL Rogue CA"
local_names="DNS:localhost,IP:127.0.0.1"
make_leaf server ca "$local_names" -days 3650
make_leaf other ca "DNS:other.test" -days 3650
make_leaf expired ca "$local_names" -startdate 20200101000000Z -enddate 20200201000000Z
make_leaf untrusted rogue "$local_names" -days 3650
make_leaf wildcard ca "DNS:*.example.test,DNS:f*.partial.test" -days 3650
rm -rf db-ca db-rogue rogue.key
touch stamp
