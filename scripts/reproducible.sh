#!/usr/bin/env bash
# Checks that the Debian package builds byte for byte the same. reprotest
# builds the source package twice on this machine (its null testbed): the
# second build in another folder, a year and a half later (faketime), as
# another user and group, under another umask, locale, time zone, home,
# PATH, host and domain name, kernel personality, address layout, file order
# (disorderfs) and environment, and diffoscope compares the .deb files. The
# build's own tests are left out (nocheck): they change no byte of the
# package. Needs root (the build user, sudo); what reprotest keeps goes to
# build-repro/reprotest/.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages dpkg-dev reprotest diffoscope-minimal faketime disorderfs locales-all sudo

export DEB_BUILD_PROFILES=nocheck
ensure_build_deps .
out=$PWD/build-repro/reprotest
rm -rf "$out" "$out-source"
dsc=$(make_source_package "$out-source")

# The second build's user, removed again at the end.
builder=harlunerepro
id -u "$builder" >/dev/null 2>&1 || useradd --system --user-group --no-create-home "$builder"
# disorderfs runs as that user too: /dev/fuse open to all for the run, as
# reprotest's own chroot preset makes it.
fuse_mode=$(stat -c %a /dev/fuse)
chmod 666 /dev/fuse
trap 'chmod "$fuse_mode" /dev/fuse; userdel "$builder" 2>/dev/null || true' EXIT

# reprotest 0.7.23 runs "sudo -h localhost COMMAND", which Debian 12's sudo
# refuses ("a remote host may only be specified when listing privileges"):
# a sudo first in PATH drops that -h.
shim=$out-source/shim
mkdir -p "$shim"
cat >"$shim/sudo" <<'SUDO'
#!/bin/sh
if [ "$1" = -h ] && [ "$2" = localhost ]; then
    shift 2
fi
exec /usr/bin/sudo "$@"
SUDO
chmod 755 "$shim" "$shim/sudo"
export PATH="$shim:$PATH"

cd "$out-source"
# Both builds on every core: one on a single core would take twice as long.
reprotest --verbose --store-dir "$out" --min-cpus 99999 \
    --vary=user_group.available+="$builder:$builder" \
    --vary=domain_host.use_sudo=1 \
    --vary=time.faketimes+=+548days+7hours \
    --vary=locales.locale=fr_CH.UTF-8 \
    --append-build-command="-Pnocheck" \
    "$(basename "$dsc")" -- null
echo "reproducible: two builds of $(basename "$dsc" .dsc) gave the same .deb files"
