#!/usr/bin/env bash
# Builds the Debian package from debian/ as a packager does: makes the
# source package of this tree in build-deb/, unpacks it there, installs its
# build dependencies where missing and runs dpkg-buildpackage. The last line
# printed is the path of the .deb.
#
# DEB_BUILD_OPTIONS=nocheck leaves out the tests the build runs (and, as the
# nocheck build profile, their build dependencies).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages dpkg-dev

# dh builds on one core unless told otherwise.
if [[ " ${DEB_BUILD_OPTIONS:-} " != *" parallel="* ]]; then
    cores=$(nproc)
    export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:+$DEB_BUILD_OPTIONS }parallel=$cores"
fi
if [[ " ${DEB_BUILD_OPTIONS:-} " == *" nocheck "* ]]; then
    export DEB_BUILD_PROFILES="${DEB_BUILD_PROFILES:+$DEB_BUILD_PROFILES }nocheck"
fi
out=$PWD/build-deb
rm -rf "$out"
dsc=$(make_source_package "$out")
base=$(basename "$dsc" .dsc)
tree=$out/${base/_/-}
dpkg-source --extract "$dsc" "$tree" >&2
ensure_build_deps "$tree" >&2
(cd "$tree" && dpkg-buildpackage -us -uc -b) >&2
ls "${dsc%.dsc}_$(dpkg --print-architecture).deb"
