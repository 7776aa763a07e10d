#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12. Idempotent: does nothing when all is there.
set -euo pipefail
need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
for p in cmake ninja-build g++ clang lld clang-tidy libclang-rt-14-dev googletest \
         g++-mingw-w64-x86-64 wine wine64 xvfb xauth wixl msitools faketime \
         osslsigncode openssl nlohmann-json3-dev; do
  have "$p" || need+=("$p")
done
[ ${#need[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${need[*]}; run this script as root" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${need[@]}"
