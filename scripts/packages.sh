# Installs the Debian packages named as arguments that are not installed yet:
# one `apt-get update`, then one `apt-get install`. Needs root when anything
# is missing.
ensure_packages() {
    local missing=()
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
}

# Installs the build dependencies that the debian/control in the source
# folder $1 names and that are missing, for the build profiles in
# DEB_BUILD_PROFILES.
ensure_build_deps() {
    if (cd "$1" && dpkg-checkbuilddeps) 2>/dev/null; then
        return 0
    fi
    echo "Installing the build dependencies of $1"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get build-dep -y --no-install-recommends "$(realpath "$1")"
}

# Makes the Debian source package of this tree (debian/) in the folder $1,
# from the tree's top, and prints the path of its .dsc.
make_source_package() {
    mkdir -p "$1"
    (cd "$1" && dpkg-source --build "$OLDPWD") >&2
    echo "$1/$(dpkg-parsechangelog -S Source)_$(dpkg-parsechangelog -S Version).dsc"
}

BUILD_PACKAGES=(cmake make g++ qt6-base-dev libcurl4-openssl-dev libssl-dev fonts-wine)
# openssh-client: ssh-agent, ssh-add and ssh-keygen for the SFTP key tests.
TEST_PACKAGES=(python3 python3-pyftpdlib python3-openssl openssl openssh-server openssh-client
    vsftpd passwd procps socat inotify-tools clang libclang-rt-14-dev)
# bench/run.sh: curl is the baseline, Xvfb and Xlib time the start-up,
# xwininfo finds the window to focus for the idle figures, ss (iproute2)
# the connection a session holds open.
BENCH_PACKAGES=(curl xvfb libx11-dev x11-utils iproute2)
# The package's checks (tests/package): dpkg-dev for scripts/package.sh,
# lintian, AppStream and desktop-entry validators, man.
PACKAGE_PACKAGES=(dpkg-dev lintian appstream desktop-file-utils man-db groff-base)
