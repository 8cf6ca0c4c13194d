#!/usr/bin/env bash
# Draws docs/window.png: the window as a user sees it once the Debian
# package is installed, the path box holding the installed program's own
# folder. Builds the package with scripts/package.sh, installs it with apt
# (so it runs as root, like the other scripts), opens the installed program
# in a virtual X display and saves a picture of its window.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages xvfb xauth x11-utils imagemagick
deb=$(DEB_BUILD_OPTIONS=nocheck bash scripts/package.sh | tail -n 1)
# With its recommendations (Wine's Tahoma for the window), as apt installs it.
DEBIAN_FRONTEND=noninteractive apt-get install -y --reinstall "$deb" >&2
xvfb-run -a -s "-screen 0 640x360x24 -dpi 96" bash -c '
    harlune-uploader & pid=$!
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
