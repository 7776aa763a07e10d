#!/usr/bin/env bash
# The test command: installs what is missing (Debian 12, as root), builds the host configuration
# and the Windows one with both compilers (MinGW-w64 GCC, and clang with lld), and runs every test:
# native unit tests with ASan/UBSan, the fuzz targets for a bounded number of inputs, every Windows
# test under Wine on virtual screens for the GCC build (the release), and for the clang build those
# its code generation can change (label codegen) with clang-tidy over src/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# The clang build's release is signed with a throwaway authority, so that its tests run the signed
# programs and install the signed packages.
bash tests/signing/make-signer.sh build/signing
signing=(-DTOLM_SIGNING_PKCS12="$(pwd)/build/signing/signer.p12"
         -DTOLM_SIGNING_PASSWORD_FILE="$(pwd)/build/signing/password"
         -DTOLM_SIGNING_TEST_CA="$(pwd)/build/signing/ca.pem")
cmake --preset host
cmake --build --preset host
cmake --preset windows
cmake --build --preset windows
cmake --preset windows-clang "${signing[@]}"
cmake --build --preset windows-clang --target codegen
status=0
ctest --preset host -j2 || status=1
ctest --preset windows -j2 || status=1
ctest --preset windows-clang -j2 -L codegen || status=1
# The release of the GCC build, built once more from a clone elsewhere: the same bytes.
bash scripts/check-reproducible.sh build/windows || status=1
exit $status
