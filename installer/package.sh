#!/usr/bin/env bash
# installer/package.sh STRIP HELPER CLIENT VERSION PRODUCT_CODE OUTPUT.msi STAGE WXS SOURCE
#                      [PKCS12 PASSWORD_FILE]
#
# Builds the package OUTPUT.msi of VERSION from stripped copies of HELPER and CLIENT, made in the
# folder STAGE, and puts the two shipped executables beside it with SHA256SUMS for the three. The
# same commit gives the same bytes: every time written is the commit's (SOURCE_DATE_EPOCH, else
# the last commit's date in SOURCE), and the codes wixl would draw at random are derived: the
# product code from the version (PRODUCT_CODE, made by CMake), the package code from the version and
# the content.
# With PKCS12 (and the file holding its password), both executables are signed before they are
# packed and the package after, each signature verified at once; a failure fails the build.
set -euo pipefail
strip=$1 helper=$2 client=$3 version=$4 product_code=$5 output=$6 stage=$7 wxs=$8 source=$9
pkcs12=${10:-} password_file=${11:-}
export TZ=UTC
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$source" log -1 --format=%ct)}
export SOURCE_DATE_EPOCH=$epoch  # strip writes the header's timestamp anew, from this when set
out_dir=$(dirname "$output")
shipped=(tolm-capture-helper.exe tolm-capture-client.exe)

sign() {
  local file=$1 chain=$stage/signer-chain.pem
  # The password is read from its file by osslsigncode and openssl themselves, never put on a
  # command line that other users could see.
  openssl pkcs12 -in "$pkcs12" -passin "file:$password_file" -nokeys -out "$chain" 2>/dev/null
  osslsigncode sign -pkcs12 "$pkcs12" -readpass "$password_file" -h sha256 \
    -n "Tolm capture helper" -in "$file" -out "$file.signed" >/dev/null
  mv "$file.signed" "$file"
  osslsigncode verify -CAfile "$chain" -in "$file" >/dev/null ||
    { echo "package.sh: the signature of $file does not verify" >&2; exit 1; }
}

rm -rf "$stage"
mkdir -p "$stage"
cp "$wxs" "$stage/"
"$strip" -o "$stage/tolm-capture-helper.exe" "$helper"
"$strip" -o "$stage/tolm-capture-client.exe" "$client"
if [ -n "$pkcs12" ]; then
  for exe in "${shipped[@]}"; do sign "$stage/$exe"; done
fi
# The cabinet records each file's time.
for exe in "${shipped[@]}"; do touch -d "@$epoch" "$stage/$exe"; done

# The package code: the first 128 bits of a SHA-256 over the version and the packed files, as a
# name-based UUID.
hash=$( (echo "tolm-capture-helper $version"; cat "$stage"/tolm-capture-*.exe "$wxs") | sha256sum)
hash=${hash:0:32}
hash=${hash^^}
package_code="{${hash:0:8}-${hash:8:4}-5${hash:13:3}-8${hash:17:3}-${hash:20:12}}"
# wixl writes the summary information's times from the clock and a random package code: the
# clock is the commit's while it runs, and msibuild puts the derived code in afterwards.
(cd "$stage" &&
  faketime "$(date -d "@$epoch" '+%Y-%m-%d %H:%M:%S')" \
    wixl -a x64 -D "Version=$version" -D "ProductCode=$product_code" -o "$output" \
    "$(basename "$wxs")")
msibuild "$output" -s "Tolm capture helper $version" "Tolm" "x64;1033" "$package_code"
if [ -n "$pkcs12" ]; then sign "$output"; fi

for exe in "${shipped[@]}"; do cp "$stage/$exe" "$out_dir/$exe"; done
(cd "$out_dir" && sha256sum "${shipped[@]}" "$(basename "$output")" > SHA256SUMS)
