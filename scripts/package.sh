#!/usr/bin/env bash
# Installs what is missing, builds the program in release mode in
# build-package/ with Debian's hardening flags and makes the Debian package
# with CPack. The last line printed is the path of the .deb.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags="$(dpkg-buildflags --get LDFLAGS)"
cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_CXX_FLAGS="$cxxflags" \
    -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >&2
cmake --build build-package -j"$(nproc)" >&2
rm -f build-package/harlune-uploader_*.deb
(cd build-package && cpack -G DEB) >&2
ls "$PWD"/build-package/harlune-uploader_*.deb
