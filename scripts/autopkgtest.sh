#!/usr/bin/env bash
# Runs the package's autopkgtest (debian/tests) on this machine, its null
# testbed: apt installs the package here with what the test needs, and the
# test meets the program as installed. Needs root. Tests the .deb given as
# the argument, or else one that scripts/package.sh builds first (without
# the build's own tests). The log, the summary and the test's artifacts go
# to build-deb/autopkgtest/.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages dpkg-dev autopkgtest

if [ $# -gt 0 ]; then
    deb=$(realpath "$1")
else
    deb=$(DEB_BUILD_OPTIONS=nocheck bash scripts/package.sh | tail -n 1)
fi
out=$PWD/build-deb/autopkgtest
rm -rf "$out" "$out-source"
dsc=$(make_source_package "$out-source")
autopkgtest --output-dir "$out" --summary "$out-source/summary" "$dsc" "$deb" -- null
cat "$out-source/summary"
