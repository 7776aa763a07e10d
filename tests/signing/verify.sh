#!/usr/bin/env bash
# tests/signing/verify.sh CA BUILD_DIR: the two shipped executables and the package in BUILD_DIR
# carry signatures that verify against the certificate authority CA, and SHA256SUMS holds.
set -uo pipefail
ca=$1
cd "$2"
status=0
for file in tolm-capture-helper.exe tolm-capture-client.exe tolm-capture-helper-*.msi; do
  osslsigncode verify -CAfile "$ca" -in "$file" >/dev/null || { echo "not verified: $file"; status=1; }
done
sha256sum --quiet -c SHA256SUMS || status=1
exit $status
