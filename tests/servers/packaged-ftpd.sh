#!/bin/bash
# Runs proftpd, pure-ftpd or GNU inetutils' ftpd on loopback for the
# uploader's tests, straight from Debian's packages unpacked into a scratch
# folder: as installed packages they conflict with vsftpd.
#
#   packaged-ftpd.sh start proftpd|pure-ftpd|inetutils-ftpd DIR USER PASSWORD [OPTION...]
#                                       prints "PORT <n>" and "PID <pid>"
#   packaged-ftpd.sh stop PID
#
# DIR becomes USER's login directory; the unpacked packages, the config and
# the logs go into DIR's parent folder (proftpd notes each log-in in
# proftpd.log). Each OPTION is a line added to
# proftpd's configuration (its modules, mod_tls among them, load from the
# unpacked packages), or an argument added to pure-ftpd's command line.
# proftpd and pure-ftpd sessions run as "nobody"; inetutils' ftpd has no
# user list of its own and logs USER in as the system account of that name
# (created here, as for vsftpd), one ftpd per connection. The .deb
# files are fetched with apt-get download once and kept in
# $HARLUNE_FTPD_CACHE (default /var/cache/harlune-test-ftpd). The server
# stops by itself once the process that ran "start" has gone. Exits 77
# (skip) when it cannot run here.
set -euo pipefail

LAUNCHER=packaged-ftpd.sh
# shellcheck source=common.sh
. "$(dirname "$0")/common.sh"

CACHE=${HARLUNE_FTPD_CACHE:-/var/cache/harlune-test-ftpd}
SESSION_USER=nobody

packages_for() {
    case "$1" in
    proftpd) echo proftpd-core proftpd-mod-crypto libhiredis0.14 libmemcached11 libmemcachedutil2 libhashkit2 libpcre2-posix3 ;;
    pure-ftpd) echo pure-ftpd ;;
    inetutils-ftpd) echo inetutils-ftpd ;;
    *) fail "unknown server $1" ;;
    esac
}

# Puts each package's .deb into the cache, unless a copy is there already
# (in the cache or in apt's own archive).
fetch() {
    local pkg missing=()
    mkdir -p "$CACHE"
    for pkg in "$@"; do
        if ! compgen -G "$CACHE/${pkg}_*.deb" >/dev/null; then
            if compgen -G "/var/cache/apt/archives/${pkg}_*.deb" >/dev/null; then
                cp /var/cache/apt/archives/"${pkg}"_*.deb "$CACHE/"
            else
                missing+=("$pkg")
            fi
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local log
    log=$(mktemp)
    # The sandbox user _apt cannot write the cache: download as root, quietly.
    if ! (cd "$CACHE" && apt-get download -q -o APT::Sandbox::User=root "${missing[@]}" >"$log" 2>&1); then
        local why
        why=$(tail -n 3 "$log")
        rm -f "$log"
        skip "apt-get download ${missing[*]} failed: $why"
    fi
    rm -f "$log"
}

unpack() {
    local dest=$1 pkg deb
    shift
    mkdir -p "$dest"
    for pkg in "$@"; do
        # The newest cached version of the package.
        deb=$(printf '%s\n' "$CACHE/${pkg}"_*.deb | sort -V | tail -n 1)
        dpkg -x "$deb" "$dest" || fail "cannot unpack $deb"
    done
}

crypt_password() {
    /usr/bin/python3 -W ignore -c \
        'import crypt, sys; print(crypt.crypt(sys.argv[1], crypt.mksalt(crypt.METHOD_SHA512)))' "$1"
}

write_proftpd() {
    local base=$1 dir=$2 user=$3 password=$4 uid gid
    uid=$(id -u "$SESSION_USER")
    gid=$(id -g "$SESSION_USER")
    printf '%s:%s:%s:%s::%s:/bin/false\n' "$user" "$(crypt_password "$password")" "$uid" "$gid" \
        "$dir" >"$base/ftpd.passwd"
    printf 'harlune:x:%s:\n' "$gid" >"$base/ftpd.group"
    chmod 600 "$base/ftpd.passwd" "$base/ftpd.group"
}

proftpd_config() {
    local base=$1 port=$2
    shift 2
    cat >"$base/proftpd.conf" <<EOF
ServerName "harlune test"
ServerType standalone
DefaultServer on
UseIPv6 off
DefaultAddress 127.0.0.1
SocketBindTight on
Port $port
User $SESSION_USER
Group $(id -gn "$SESSION_USER")
PidFile $base/proftpd.pid
ScoreboardFile $base/proftpd.scoreboard
DelayTable none
ControlsEngine off
WtmpLog off
UseReverseDNS off
UseFtpUsers off
AuthOrder mod_auth_file.c
AuthUserFile $base/ftpd.passwd
AuthGroupFile $base/ftpd.group
RequireValidShell off
DefaultRoot ~
AllowOverwrite on
Umask 022
SystemLog $base/proftpd.log
# Notes each log-in there, and each session's start and end.
SyslogLevel info
TransferLog $base/xfer.log
ModulePath $base/pkg/usr/lib/proftpd
EOF
    [ $# -eq 0 ] || printf '%s\n' "$@" >>"$base/proftpd.conf"
}

write_pure_ftpd() {
    local base=$1 dir=$2 user=$3 password=$4
    # Written here rather than by "pure-pw useradd", whose argon2 hash takes
    # seconds to check at every log-in.
    printf '%s:%s:%s:%s::%s/./::::::::::::\n' "$user" "$(crypt_password "$password")" \
        "$(id -u "$SESSION_USER")" "$(id -g "$SESSION_USER")" "$dir" >"$base/pureftpd.passwd"
    chmod 600 "$base/pureftpd.passwd"
    "$base/pkg/usr/bin/pure-pw" mkdb "$base/pureftpd.pdb" -f "$base/pureftpd.passwd" >/dev/null ||
        fail "pure-pw could not build the user database"
}

start() {
    [ $# -ge 4 ] || fail "usage: packaged-ftpd.sh start proftpd|pure-ftpd|inetutils-ftpd DIR USER PASSWORD [OPTION...]"
    local server=$1 dir user=$3 password=$4 base owner=$PPID
    [ "$(id -u)" -eq 0 ] || skip "must run as root: $server chroots and switches to $SESSION_USER"
    id -u "$SESSION_USER" >/dev/null 2>&1 || skip "no user $SESSION_USER"
    command -v apt-get >/dev/null || skip "no apt-get to fetch $server with"
    dir=$(realpath -m "$2")
    base=$(dirname "$dir")
    shift 4
    [ "$server" != inetutils-ftpd ] || command -v socat >/dev/null || skip "socat is not installed"

    local packages
    read -r -a packages <<<"$(packages_for "$server")"
    (
        flock 9
        fetch "${packages[@]}"
    ) 9>/tmp/harlune-ftpd-cache.lock
    unpack "$base/pkg" "${packages[@]}"

    local owner_user=$SESSION_USER
    case "$server" in
    proftpd) write_proftpd "$base" "$dir" "$user" "$password" ;;
    pure-ftpd) write_pure_ftpd "$base" "$dir" "$user" "$password" ;;
    inetutils-ftpd)
        prepare_user "$dir" "$user" "$password"
        owner_user=$user
        ;;
    esac
    mkdir -p "$dir/public_html"
    chown -R "$owner_user:" "$dir"
    chmod go+x "$base"

    local port
    for _ in 1 2 3; do
        port=$(free_port)
        case "$server" in
        proftpd)
            proftpd_config "$base" "$port" "$@"
            serve "$owner" "$port" "$base/server.out" \
                env LD_LIBRARY_PATH="$base/pkg/usr/lib/x86_64-linux-gnu" \
                "$base/pkg/usr/sbin/proftpd" -n -q -c "$base/proftpd.conf" && return 0
            ;;
        pure-ftpd)
            serve "$owner" "$port" "$base/server.out" \
                "$base/pkg/usr/sbin/pure-ftpd" -S "127.0.0.1,$port" -4 -l "puredb:$base/pureftpd.pdb" \
                -E -H -A -u 1 -O "clf:$base/xfer.log" "$@" && return 0
            ;;
        inetutils-ftpd)
            # An inetd of its own: each connection runs one ftpd with the
            # socket as its standard input and output.
            serve "$owner" "$port" "$base/server.out" \
                socat "TCP-LISTEN:$port,bind=127.0.0.1,reuseaddr,fork" \
                "EXEC:$base/pkg/usr/sbin/ftpd -l,nofork" && return 0
            ;;
        esac
    done
    fail "$server did not come up on 127.0.0.1:$port:" "$(tail -n 5 "$base/server.out" 2>/dev/null)"
}

launch "proftpd|pure-ftpd|inetutils-ftpd DIR USER PASSWORD [OPTION...]" "$@"
