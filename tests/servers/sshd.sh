#!/bin/bash
# Runs Debian's OpenSSH server on loopback for the uploader's SFTP tests.
#
#   sshd.sh start DIR USER PASSWORD [METHODS] [FLAG...]
#                                     prints "PORT <n>", "PID <pid>" and
#                                     "HOSTKEY <public key line>"
#   sshd.sh stop PID
#
# DIR becomes USER's home and login directory (with DIR/public_html); the host
# key, configuration and log go into DIR's parent folder. The server accepts
# the log-in methods named, comma-separated: password (the default) and
# publickey, with the keys in the parent folder's "authorized_keys". Each
# FLAG (from the first argument that starts with "-") goes to the SFTP
# server (internal-sftp: -P to deny requests); "drop=TYPE" first puts a
# relay in front that never answers TYPE requests (sftprelay.py). A file
# "banner" in DIR's parent is the server's banner. It stops by itself once the
# process that ran "start" has gone. Exits 77 (skip) when it cannot run here.
set -euo pipefail

LAUNCHER=sshd.sh
# shellcheck source=common.sh
. "$(dirname "$0")/common.sh"

SSHD=/usr/sbin/sshd

start() {
    [ $# -ge 3 ] || fail "usage: sshd.sh start DIR USER PASSWORD [METHODS] [FLAG...]"
    [ "$(id -u)" -eq 0 ] || skip "must run as root to add the user and start sshd"
    [ -x "$SSHD" ] || skip "$SSHD is not installed"
    local dir user=$2 password=$3 methods=password method parent owner=$PPID port
    local by_password=no by_key=no cut_dir=
    dir=$(realpath -m "$1")
    parent=$(dirname "$dir")
    shift 3
    if [ $# -gt 0 ] && [[ $1 != -* ]]; then
        methods=$1
        shift
    fi
    local sftp="internal-sftp${*:+ $*}"
    # "drop=TYPE": OpenSSH's sftp-server behind a relay that loses the
    # replies to TYPE requests; "cut=TYPE:SUFFIX": one whose link breaks
    # once, right after the first TYPE request on a path ending in SUFFIX.
    # FLAGs after it go to sftp-server.
    if [ $# -gt 0 ] && [[ $1 == drop=* || $1 == cut=* ]]; then
        cp "$(dirname "$0")/sftprelay.py" "$parent/sftprelay.py"
        chmod 644 "$parent/sftprelay.py"
        local relay=${1#drop=}
        if [[ $1 == cut=* ]]; then
            # The relay runs as the user, and marks the cut in a folder of
            # its own.
            cut_dir="$parent/cut"
            relay="cut:${1#cut=}:$cut_dir/done"
        fi
        shift
        sftp="/usr/bin/python3 $parent/sftprelay.py $relay /usr/lib/openssh/sftp-server${*:+ $*}"
    fi
    for method in ${methods//,/ }; do
        case $method in
        password) by_password=yes ;;
        publickey) by_key=yes ;;
        *) fail "unknown log-in method $method" ;;
        esac
    done

    prepare_user "$dir" "$user" "$password"
    if [ -n "$cut_dir" ]; then
        rm -rf "$cut_dir"
        mkdir -p "$cut_dir"
        chown "$user:" "$cut_dir"
    fi
    mkdir -p "$dir/public_html" /run/sshd
    chown "$user:" "$dir" "$dir/public_html"
    chmod go+x "$parent"
    # Started again in the same folder, it keeps its host key.
    [ -f "$parent/host_key" ] || ssh-keygen -q -t ecdsa -N '' -f "$parent/host_key" >/dev/null
    # sshd reads the keys as the user.
    touch "$parent/authorized_keys"
    chmod 644 "$parent/authorized_keys"

    for _ in 1 2 3; do
        port=$(free_port)
        cat >"$parent/sshd_config" <<CONF
ListenAddress 127.0.0.1:$port
HostKey $parent/host_key
PidFile none
UsePAM no
PasswordAuthentication $by_password
KbdInteractiveAuthentication no
PubkeyAuthentication $by_key
AuthorizedKeysFile $parent/authorized_keys
PermitRootLogin no
AllowUsers $user
StrictModes no
Subsystem sftp $sftp
ForceCommand $sftp
LogLevel VERBOSE
CONF
        # A banner of the test's own, written beside the home before a restart.
        [ ! -f "$parent/banner" ] || echo "Banner $parent/banner" >>"$parent/sshd_config"
        if serve "$owner" "$port" "$parent/sshd.log" "$SSHD" -D -e -f "$parent/sshd_config"; then
            echo "HOSTKEY $(cut -d' ' -f1,2 "$parent/host_key.pub")"
            return 0
        fi
    done
    fail "sshd did not come up on 127.0.0.1:$port: $(tail -n 5 "$parent/sshd.log")"
}

launch "DIR USER PASSWORD [METHODS] [FLAG...]" "$@"
