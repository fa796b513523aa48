#!/usr/bin/env bash
# Makes the per-run certificates of the TLS tests in the folder given (default:
# the current one): a test CA with its revocation list, server certificates
# (names in subjectAltName, CN only, wildcards, expired, revoked, self-signed)
# and a client certificate with its key, and one with a key that does not match.
set -e
d=$(cd "${1:-.}" && pwd)
cd "$d"
mkdir -p newcerts; : > index.txt; echo 1000 > serial; echo 1000 > crlnumber
cat > ca.cnf <<CNF
[ ca ]
default_ca = tv
[ tv ]
dir = $d
database = $d/index.txt
new_certs_dir = $d/newcerts
serial = $d/serial
crlnumber = $d/crlnumber
certificate = $d/ca.pem
private_key = $d/ca.key
default_md = sha256
default_days = 2
default_crl_days = 2
policy = anything
copy_extensions = copy
unique_subject = no
[ anything ]
commonName = supplied
[ req ]
distinguished_name = dn
[ dn ]
[ v3_ca ]
basicConstraints = critical,CA:true
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
CNF
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key" 2>/dev/null; }
key ca
openssl req -x509 -new -key ca.key -out ca.pem -days 2 -subj "/CN=Torvane Test CA" -config ca.cnf -extensions v3_ca
# name subject san [startdate enddate]
leaf() {
  key "$1"
  if [ -n "$3" ]; then ext="-addext subjectAltName=$3"; else ext=""; fi
  openssl req -new -key "$1.key" -out "$1.csr" -subj "/CN=$2" -config ca.cnf $ext
  if [ -n "$4" ]; then dates="-startdate $4 -enddate $5"; else dates=""; fi
  openssl ca -batch -config ca.cnf -in "$1.csr" -out "$1.pem" -notext $dates 2>/dev/null
}
leaf san ignored.example "DNS:localhost,IP:127.0.0.1"
leaf cnonly localhost ""
leaf other localhost "DNS:other.test"
leaf wild wild "DNS:*.example.com"
leaf partial partial "DNS:f*.example.com"
leaf starcom starcom "DNS:*.com"
leaf expired localhost "DNS:localhost" 20200101000000Z 20200102000000Z
leaf revoked localhost "DNS:localhost"
leaf client "Test Client" ""
openssl ca -batch -config ca.cnf -revoke revoked.pem 2>/dev/null
openssl ca -batch -config ca.cnf -gencrl -out ca.crl 2>/dev/null
key self
openssl req -x509 -new -key self.key -out self.pem -days 2 -subj /CN=localhost -addext subjectAltName=DNS:localhost
key stray
cat client.pem client.key > client-bundle.pem
cat client.pem stray.key > client-mismatch.pem
cat ca.pem ca.crl > roots.pem
