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
    export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:+$DEB_BUILD_OPTIONS }parallel=$(nproc)"
fi
if [[ " ${DEB_BUILD_OPTIONS:-} " == *" nocheck "* ]]; then
    export DEB_BUILD_PROFILES="${DEB_BUILD_PROFILES:+$DEB_BUILD_PROFILES }nocheck"
fi
name=$(dpkg-parsechangelog -S Source)
version=$(dpkg-parsechangelog -S Version)
out=$PWD/build-deb
rm -rf "$out"
mkdir -p "$out"
(cd "$out" && dpkg-source --build "$OLDPWD") >&2
dpkg-source --extract "$out/${name}_$version.dsc" "$out/$name-$version" >&2
ensure_build_deps "$out/$name-$version" >&2
(cd "$out/$name-$version" && dpkg-buildpackage -us -uc -b) >&2
ls "$out/${name}_${version}_$(dpkg --print-architecture).deb"
