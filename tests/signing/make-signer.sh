#!/usr/bin/env bash
# tests/signing/make-signer.sh DIR: a throwaway certificate authority (DIR/ca.pem) and a code-signing
# certificate it issued, with its key, in DIR/signer.p12, whose password is in DIR/password (never
# on a command line). For the tests only: nothing signed with it is trusted anywhere else.
set -euo pipefail
dir=$1
mkdir -p "$dir"
cd "$dir"
# Made again once a day, well inside the certificates' 30 days.
[ -n "$(find signer.p12 -mtime -1 2>/dev/null)" ] && exit 0
umask 077
openssl rand -hex 16 > password
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 \
  -subj "/CN=Tolm throwaway test authority" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr \
  -subj "/CN=Tolm throwaway test signer" 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' \
  > signer.ext
openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 \
  -extfile signer.ext -out signer.pem 2>/dev/null
openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem -out signer.p12 \
  -passout file:password
rm -f ca.key signer.key signer.csr signer.ext ca.srl
