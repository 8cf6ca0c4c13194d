#!/usr/bin/env bash
# Opens the program in a virtual X display and saves a picture of its
# window to docs/window.png.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" xvfb xauth x11-utils imagemagick
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target harlune-uploader
xvfb-run -a -s "-screen 0 640x360x24 -dpi 96" bash -c '
    build/window/harlune-uploader & pid=$!
    for _ in $(seq 100); do
        id=$(xwininfo -root -tree 2>/dev/null | awk "/\"Harlune Uploader - By Yorn\"/ {print \$1; exit}")
        [ -n "$id" ] && break
        sleep 0.05
    done
    sleep 0.5
    import -window "$id" -frame docs/window.png
    kill $pid
'
echo "saved docs/window.png"
