#!/usr/bin/env bash
# Builds the Debian package build-package/velmorin_<version>_amd64.deb with
# CPack (packaging/CMakeLists.txt says what goes where and what it depends
# on). The program is built as Debian builds its own packages: optimised,
# with the flags dpkg-buildflags gives, all hardening on; CPack strips it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --package

out=$PWD/build-package
flags() {
    DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"
}
# CMake reads no CPPFLAGS, where _FORTIFY_SOURCE is, and takes CXXFLAGS and
# LDFLAGS from the environment only when it first configures a build
# directory; given on the command line they hold on every run.
cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DVELMORIN_BUILD_TESTS=OFF \
    -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" -DCMAKE_SHARED_LINKER_FLAGS="$(flags LDFLAGS)"
cmake --build "$out" --parallel "$(nproc)"
rm -f "$out"/velmorin_*.deb
(cd "$out" && cpack)
deb=$(ls "$out"/velmorin_*.deb)
echo "Built $deb ($(du -k "$deb" | cut -f1) kB)"
