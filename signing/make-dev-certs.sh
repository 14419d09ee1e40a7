#!/bin/sh
# Generates the development signing certificates into the build folder:
#   root        the product's development root (pinned into the verifier)
#   ca          its intermediate authority for application signing
#   team        the signing certificate of team $TEAM with the marker extension
# and, for the tests, certificates that the verifier must refuse:
#   other-team  another team, same root, with the marker
#   no-marker   the right team without the marker
#   foreign-root / foreign  a look-alike chain that ends in another root
# Usage: make-dev-certs.sh <output folder> <team>
set -eu
out=$1
team=$2
mkdir -p "$out"
cd "$out"
umask 077

cat > openssl.cnf <<CNF
[ req ]
distinguished_name = dn
prompt = no
[ dn ]
CN = unused
[ root_ext ]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[ ca_ext ]
basicConstraints = critical, CA:true, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ leaf_ext ]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
1.2.840.113635.100.6.1.13 = ASN1:NULL
[ plain_leaf_ext ]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key" 2>/dev/null; }
self_signed() {  # name subject
  key "$1"
  openssl req -new -x509 -config openssl.cnf -extensions root_ext -key "$1.key" -subj "$2" \
    -days 3650 -sha256 -out "$1.pem"
}
issued() {  # name subject issuer extensions
  key "$1"
  openssl req -new -config openssl.cnf -key "$1.key" -subj "$2" -out "$1.csr"
  openssl x509 -req -in "$1.csr" -CA "$3.pem" -CAkey "$3.key" -CAcreateserial -days 3650 -sha256 \
    -extfile openssl.cnf -extensions "$4" -out "$1.pem" 2>/dev/null
  rm -f "$1.csr"
}

self_signed root "/O=Tavrino/CN=Tavrino Development Root CA"
issued ca "/O=Tavrino/CN=Tavrino Developer ID Certification Authority" root ca_ext
issued team "/UID=$team/CN=Developer ID Application: Tavrino ($team)/OU=$team/O=Tavrino" ca leaf_ext
issued other-team "/CN=Developer ID Application: Other (OTHERTEAM1)/OU=OTHERTEAM1/O=Other" ca leaf_ext
issued no-marker "/CN=Apple Development: Tavrino ($team)/OU=$team/O=Tavrino" ca plain_leaf_ext
self_signed foreign-root "/O=Tavrino/CN=Tavrino Development Root CA"
issued foreign "/CN=Developer ID Application: Tavrino ($team)/OU=$team/O=Tavrino" foreign-root leaf_ext
rm -f ./*.srl
